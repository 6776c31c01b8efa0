// Keeps the report apart from what a driver prints: the driver writes its device discovery to
// the process's standard output, which would mix with the report (and break --json). While a
// ReportStream lives, standard output goes to standard error and the report to the real one.
#pragma once

#include <cstdio>

namespace halvern::host {

class ReportStream {
public:
    ReportStream();
    ~ReportStream();
    ReportStream(const ReportStream&) = delete;
    ReportStream& operator=(const ReportStream&) = delete;

    std::FILE* out() const { return out_; }

private:
    std::FILE* out_ = stdout;
    int savedStdout_ = -1;
};

} // namespace halvern::host
