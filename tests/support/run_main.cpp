// The front end in-process, its output captured (suites that link the front
// end with a fake transport).
#include "support.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "frontend/run_request.h"

namespace support
{

captured run_main(std::vector<std::string> args)
{
    args.insert(args.begin(), "flasher");
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    const int status = flasher_main(static_cast<int>(args.size()), argv.data());
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    return {status, err, out};
}

} // namespace support
