#include "gui/updatecheck/AppDownloadProgress.h"

AppDownloadProgress::~AppDownloadProgress() = default;

void AppDownloadProgress::set_progress(double) {}

double AppDownloadProgress::get_progress()
{
    return 0.0;
}
