#include "report_stream.h"

#if defined(_WIN32)
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define fdopen _fdopen
#define close _close
#else
#include <unistd.h>
#endif

namespace halvern::host {

ReportStream::ReportStream() {
    std::fflush(stdout);
    int saved = dup(1);
    if (saved < 0)
        return;
    int reportFd = dup(saved);
    std::FILE* f = reportFd >= 0 ? fdopen(reportFd, "w") : nullptr;
    if (f == nullptr) {
        if (reportFd >= 0)
            close(reportFd);
        close(saved);
        return;
    }
    if (dup2(2, 1) < 0) {
        std::fclose(f);
        close(saved);
        return;
    }
    savedStdout_ = saved;
    out_ = f;
}

ReportStream::~ReportStream() {
    if (savedStdout_ < 0)
        return;
    std::fflush(out_);
    std::fclose(out_);
    std::fflush(stdout);
    dup2(savedStdout_, 1);
    close(savedStdout_);
}

} // namespace halvern::host
