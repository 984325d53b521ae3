// The bitstream target fuzzes the image functions alone: a Downloader without the sequencer
// (and the unit and bus it would pull in).
#include "Downloader.h"

Downloader::Downloader() {}
Downloader::~Downloader() {}
