#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace vexlink::test {

// The usage text as the user sees it, byte for byte.
inline const std::string kUsageText =
    "vexlink [options] <server address> \n"
    "Options \n"
    "\t-t type \ttype can be WIFI or Bluetooth\n"
    "\t-s port \tService port\n"
    "\t-m port \tMedia port\n"
    "\t-v \t\tPrint version and exit\n"
    "\t-h \t\tPrint this message and exit\n"
    "\nServer address may be IP address or Bluetooth device address, depending on type.\n\n"
    "Example:\n"
    "\tvexlink -t WIFI 192.168.100.1\n"
    "\tvexlink -t Bluetooth 04:02:1F:2A:95:78\n";

inline const std::string kVersionText = "Vexmor Client\nv4.6\nhttps://vexlink.example.org\n";

// A stream whose text can be read back: for code that prints to a FILE*.
class CapturedStream {
public:
    CapturedStream() : file_(open_memstream(&buffer_, &size_)) {}
    ~CapturedStream() {
        if (file_ != nullptr) std::fclose(file_);
        std::free(buffer_);
    }
    CapturedStream(const CapturedStream&) = delete;
    CapturedStream& operator=(const CapturedStream&) = delete;

    FILE* file() const { return file_; }
    std::string text() {
        std::fflush(file_);
        return std::string(buffer_, size_);
    }

private:
    char* buffer_ = nullptr;
    size_t size_ = 0;
    FILE* file_ = nullptr;
};

// A mutable argv for getopt_long, which permutes it.
class Argv {
public:
    explicit Argv(std::vector<std::string> words) : words_(std::move(words)) {
        words_.insert(words_.begin(), "vexlink");
        for (auto& w : words_) pointers_.push_back(w.data());
        pointers_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words_.size()); }
    char** argv() { return pointers_.data(); }

private:
    std::vector<std::string> words_;
    std::vector<char*> pointers_;
};

}  // namespace vexlink::test
