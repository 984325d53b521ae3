// Reaches the sequencer's cancel flag, which nothing in the program sets, so that tests can
// stop a download between blocks the way a caller that owned the flag would.
#ifndef KA_TESTS_DOWNLOADERTESTACCESS_H
#define KA_TESTS_DOWNLOADERTESTACCESS_H

#include "Downloader.h"

class DownloaderTestAccess {
  public:
    static void RequestCancel(Downloader& downloader) { downloader.mCancelled = true; }
    static bool CancelRequested(const Downloader& downloader) { return downloader.mCancelled; }
};

#endif
