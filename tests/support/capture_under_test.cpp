#include "capture_under_test.h"

#include <cstdlib>
#include <filesystem>

namespace capture_under_test {

namespace {

std::string fromEnvironment(const char* variable, const std::string& otherwise) {
    const char* value = std::getenv(variable);
    return value && *value ? std::string(value) : otherwise;
}

std::filesystem::path folder() { return std::filesystem::path(path()).parent_path(); }

// A program of the build under test on a command line: a Windows one behind the launcher.
std::vector<std::string> started(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> argv;
    if (program.ends_with(".exe"))
        argv.push_back(wineRun());
    argv.push_back(program);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
}

} // namespace

const std::string& path() {
    static const std::string program = fromEnvironment("SONDREL_CAPTURE_UNDER_TEST", SONDREL_CAPTURE_PATH);
    return program;
}

bool isWindows() { return path().ends_with(".exe"); }

std::vector<std::string> command(const std::vector<std::string>& arguments) { return started(path(), arguments); }

std::vector<std::string> recordCommand(const std::vector<std::string>& arguments) {
    const std::string beside = (folder() / (isWindows() ? "sondrel-record.exe" : "sondrel-record")).string();
    return started(fromEnvironment("SONDREL_RECORD_UNDER_TEST", beside), arguments);
}

std::string wineRun() { return fromEnvironment("SONDREL_WINE_RUN", (folder() / "wine-run").string()); }

std::vector<std::string> windowsHelper(const std::string& variable, const std::string& name) {
    return {wineRun(), fromEnvironment(variable.c_str(), (folder() / "tests" / "windows" / name).string())};
}

} // namespace capture_under_test
