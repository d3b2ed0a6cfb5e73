#pragma once

#include <cstddef>
#include <ios>
#include <locale>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

// Lends a stringstream for one encode or decode. Building a stream, locale and all, costs more
// than coding a small message, so streams are reused; but each lease behaves as a new stream:
// whatever a protocol adapter changed on the last one (formatting flags, fill, precision, width,
// locale, exception mask, tie, iword and pword, callbacks, even the buffer) is undone on return.
//
// The spare streams are shared, under a mutex, by all threads of the library or program that
// includes this. They are not kept per thread: a thread_local with a destructor keeps the shared
// library it lives in from unloading as long as a thread that used it lives.
class PooledStream {
public:
    PooledStream() : stream(take()) {}
    PooledStream(const char* data, std::size_t length) : stream(take()) {
        stream->write(data, static_cast<std::streamsize>(length));
    }
    ~PooledStream() { giveBack(std::move(stream)); }
    PooledStream(const PooledStream&) = delete;
    PooledStream& operator=(const PooledStream&) = delete;

    std::stringstream& get() { return *stream; }

private:
    // Enough for every thread that codes at once in a busy host; more are freed on return.
    static constexpr std::size_t kMostSpare = 16;
    // A stream that held a larger message is freed rather than kept with its large buffer.
    static constexpr std::streamoff kMostKeptBytes = 64 * 1024;

    struct Pool {
        std::mutex mutex;  // guards spare
        std::vector<std::unique_ptr<std::stringstream>> spare;
        // The format of a new stream, copied onto each stream that comes back.
        const std::stringstream newStream{std::ios::in | std::ios::out};
    };

    static Pool& pool() {
        static Pool instance;
        return instance;
    }

    static std::unique_ptr<std::stringstream> take() {
        Pool& shared = pool();
        {
            std::lock_guard<std::mutex> hold(shared.mutex);
            if (!shared.spare.empty()) {
                std::unique_ptr<std::stringstream> taken = std::move(shared.spare.back());
                shared.spare.pop_back();
                return taken;
            }
        }
        return std::make_unique<std::stringstream>(std::ios::in | std::ios::out);
    }

    static void giveBack(std::unique_ptr<std::stringstream> used) {
        Pool& shared = pool();
        // Back on its own buffer, which also clears the error state.
        used->std::ios::rdbuf(used->rdbuf());
        if (used->rdbuf()->pubseekoff(0, std::ios::end, std::ios::out) > kMostKeptBytes) return;
        used->str(std::string());
        // Flags, fill, precision, width, locale, iword and pword, callbacks, tie and exception
        // mask; then the locale again, should the global one have changed since.
        used->copyfmt(shared.newStream);
        if (used->getloc() != std::locale()) used->imbue(std::locale());

        std::lock_guard<std::mutex> hold(shared.mutex);
        if (shared.spare.size() < kMostSpare) shared.spare.push_back(std::move(used));
    }

    std::unique_ptr<std::stringstream> stream;
};
