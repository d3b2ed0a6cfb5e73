#pragma once

#include <cstddef>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

// Lends a stringstream for one encode or decode, from a pool of this thread's: building a
// stream, locale and all, costs more than coding a small message. A lease taken while another
// is held, as when a call handled here sends a call of its own, gets a stream of its own.
class PooledStream {
public:
    PooledStream() : stream(take()) {}
    PooledStream(const char* data, std::size_t length) : stream(take()) {
        stream->write(data, static_cast<std::streamsize>(length));
    }
    ~PooledStream() {
        stream->str(std::string());
        stream->clear();
        pool().push_back(std::move(stream));
    }
    PooledStream(const PooledStream&) = delete;
    PooledStream& operator=(const PooledStream&) = delete;

    std::stringstream& get() { return *stream; }

private:
    using Pool = std::vector<std::unique_ptr<std::stringstream>>;

    static Pool& pool() {
        thread_local Pool streams;
        return streams;
    }

    static std::unique_ptr<std::stringstream> take() {
        Pool& streams = pool();
        if (streams.empty()) {
            return std::make_unique<std::stringstream>(std::ios::in | std::ios::out);
        }
        std::unique_ptr<std::stringstream> taken = std::move(streams.back());
        streams.pop_back();
        return taken;
    }

    std::unique_ptr<std::stringstream> stream;
};
