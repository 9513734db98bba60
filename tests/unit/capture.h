// Captures std::cout for in-process tests, keeping apart what was flushed and what was not.
#ifndef HUNGSCAN_TESTS_CAPTURE_H
#define HUNGSCAN_TESTS_CAPTURE_H

#include <iostream>
#include <streambuf>
#include <string>

class FlushRecorder : public std::streambuf
{
public:
    FlushRecorder() : previous_(std::cout.rdbuf(this)) {}
    ~FlushRecorder() override { std::cout.rdbuf(previous_); }
    FlushRecorder(const FlushRecorder &) = delete;
    FlushRecorder &operator=(const FlushRecorder &) = delete;

    const std::string &flushed() const { return flushed_; }
    const std::string &pending() const { return pending_; }

protected:
    int_type overflow(int_type c) override
    {
        if (!traits_type::eq_int_type(c, traits_type::eof()))
            pending_.push_back(traits_type::to_char_type(c));
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char *s, std::streamsize n) override
    {
        pending_.append(s, static_cast<size_t>(n));
        return n;
    }
    int sync() override
    {
        flushed_ += pending_;
        pending_.clear();
        return 0;
    }

private:
    std::streambuf *previous_;
    std::string flushed_;
    std::string pending_;
};

#endif
