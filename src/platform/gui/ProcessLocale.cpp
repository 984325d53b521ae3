// The character locale chosen before Qt starts. Qt needs a UTF-8 one: when the environment
// names none (no LANG at all, as in a container or under cron, or LANG=C) Qt switches to one
// itself and says so in four lines on standard error at every start. The same choice made
// here, in the environment Qt reads its locale from, leaves it nothing to say.
#include "GuiInternals.h"

#include <array>
#include <cstdlib>
#include <string>

#include <langinfo.h>
#include <locale.h>
#include <strings.h>

namespace {

// Every category but LC_CTYPE, as the environment names them.
constexpr std::array<const char*, 11> kOtherCategories = {
    "LC_COLLATE",        "LC_MESSAGES",    "LC_MONETARY", "LC_NUMERIC", "LC_TIME",     "LC_ADDRESS",
    "LC_IDENTIFICATION", "LC_MEASUREMENT", "LC_NAME",     "LC_PAPER",   "LC_TELEPHONE"};

const char* Setting(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

// The locale name the environment gives the character category, as setlocale reads it.
std::string CharacterLocaleName() {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        if (const char* value = Setting(name)) {
            return value;
        }
    }
    return "C";
}

bool LocaleExists(const std::string& name) {
    locale_t probe = newlocale(LC_CTYPE_MASK, name.c_str(), nullptr);
    if (probe == nullptr) {
        return false;
    }
    freelocale(probe);
    return true;
}

}  // namespace

namespace kaplatform::gui {

void ChooseUtf8CharacterLocale() {
    std::string current = "C";
    locale_t environment = newlocale(LC_ALL_MASK, "", nullptr);
    if (environment != nullptr) {
        const char* codeset = nl_langinfo_l(CODESET, environment);
        const bool utf8 = strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "utf8") == 0;
        freelocale(environment);
        if (utf8) {
            return;
        }
        current = CharacterLocaleName();
    }
    // Qt's own choice: the same language and territory in UTF-8, else the UTF-8 C locale.
    std::string base = current.substr(0, current.find_first_of(".@"));
    std::string chosen;
    for (const std::string& candidate :
         {base + ".UTF-8", std::string("C.UTF-8"), std::string("C.utf8")}) {
        if (LocaleExists(candidate)) {
            chosen = candidate;
            break;
        }
    }
    if (chosen.empty()) {
        return;  // nothing better to offer; Qt says so itself
    }
    if (environment == nullptr) {
        // A locale the environment names is missing: Qt would be left with the C locale in
        // every category.
        unsetenv("LC_ALL");
        for (const char* name : kOtherCategories) {
            unsetenv(name);
        }
        setenv("LANG", "C", 1);
    } else if (const char* all = Setting("LC_ALL")) {
        // LC_ALL outranks LC_CTYPE: the other categories keep what it named, one by one.
        const std::string named = all;
        unsetenv("LC_ALL");
        for (const char* name : kOtherCategories) {
            setenv(name, named.c_str(), 1);
        }
    }
    setenv("LC_CTYPE", chosen.c_str(), 1);
}

}  // namespace kaplatform::gui
