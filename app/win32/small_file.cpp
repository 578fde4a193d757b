#include "small_file.h"

#include <fstream>
#include <iterator>

// Here the file is read as it always was, in text mode (CR LF reads back as LF), only no
// further than the limit; refusing planted links and devices is done on POSIX only.
SmallFileReading readSmallFile(const std::filesystem::path& path, std::size_t limit) {
    SmallFileReading reading;
    std::error_code ec;
    std::ifstream file(path);
    if (!file) {
        reading.outcome = std::filesystem::exists(path, ec) ? SmallFileReading::Outcome::unreadable
                                                            : SmallFileReading::Outcome::missing;
        return reading;
    }
    std::istreambuf_iterator<char> in(file), end;
    while (in != end && reading.text.size() <= limit)
        reading.text.push_back(*in++);
    if (file.bad()) {
        reading.text.clear();
        return reading;
    }
    if (reading.text.size() > limit) {
        reading.text.clear();
        reading.outcome = SmallFileReading::Outcome::tooLarge;
        return reading;
    }
    reading.outcome = SmallFileReading::Outcome::read;
    return reading;
}
