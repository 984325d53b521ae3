// A folder of the test's own for the update records ($XDG_STATE_HOME), for as long as the
// test runs.
#ifndef KA_TESTS_SCOPEDSTATEFOLDER_H
#define KA_TESTS_SCOPEDSTATEFOLDER_H

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace katest {

class ScopedStateFolder {
  public:
    ScopedStateFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ka-record-XXXXXX");
        if (mkdtemp(pattern.data()) != nullptr) {
            root_ = pattern;
        }
        if (const char* old = std::getenv("XDG_STATE_HOME")) {
            old_ = old;
        }
        setenv("XDG_STATE_HOME", root_.c_str(), 1);
    }
    ~ScopedStateFolder() {
        if (old_) {
            setenv("XDG_STATE_HOME", old_->c_str(), 1);
        } else {
            unsetenv("XDG_STATE_HOME");
        }
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    ScopedStateFolder(const ScopedStateFolder&) = delete;
    ScopedStateFolder& operator=(const ScopedStateFolder&) = delete;

    const std::filesystem::path& Root() const { return root_; }
    std::vector<std::filesystem::path> Records() const {
        std::vector<std::filesystem::path> records;
        std::error_code ignored;
        for (const auto& entry :
             std::filesystem::directory_iterator(root_ / "ka-firmware-updater", ignored)) {
            records.push_back(entry.path());
        }
        std::sort(records.begin(), records.end());
        return records;
    }

  private:
    std::filesystem::path root_;
    std::optional<std::string> old_;
};

}  // namespace katest

#endif
