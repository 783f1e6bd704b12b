#include "runtime/random.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "runtime/chacha_lanes.hpp"

namespace twirlkit {

namespace {

std::string describe(int err) { return std::generic_category().message(err); }

// Returns 0 when the whole request was met, else the errno that stopped it.
// Bytes already delivered are kept: the fallback only has to supply the rest.
int fill_from_getrandom(unsigned char* buf, std::size_t len, std::size_t& done) {
    while (done < len) {
        const ssize_t got = ::getrandom(buf + done, len - done, 0);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            return got < 0 ? errno : EIO;
        }
    }
    return 0;
}

int fill_from_urandom(unsigned char* buf, std::size_t len, std::size_t& done) {
    int fd;
    do {
        fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return errno;
    }
    int err = 0;
    while (done < len) {
        const ssize_t got = ::read(fd, buf + done, len - done);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            err = got < 0 ? errno : EIO;  // end of file on a character device
            break;
        }
    }
    ::close(fd);
    return err;
}

void on_fork_child() noexcept { detail::fork_generation.fetch_add(1, std::memory_order_relaxed); }

// Registered while the library loads, before any thread can seed a generator,
// so no fork can slip between a seeding and the handler's existence.
const int atfork_registered = ::pthread_atfork(nullptr, nullptr, &on_fork_child);

constinit thread_local ThreadRng tls_rng{};

}  // namespace

namespace detail {
std::atomic<std::uint64_t> fork_generation{0};
}  // namespace detail

void fill_entropy(void* buf, std::size_t len) {
    auto* bytes = static_cast<unsigned char*>(buf);
    std::size_t done = 0;
    const int getrandom_err = fill_from_getrandom(bytes, len, done);
    if (getrandom_err == 0) {
        return;
    }
    const int urandom_err = fill_from_urandom(bytes, len, done);
    if (urandom_err == 0) {
        return;
    }
    throw EntropyError("failed to read the operating system's entropy source: getrandom: " +
                       describe(getrandom_err) + "; /dev/urandom: " + describe(urandom_err));
}

void ThreadRng::reseed() {
    (void)atfork_registered;
    // Unseeded until the new key is in: a failed read must not leave a
    // generator that silently continues, or repeats, an old stream.
    words_left_ = 0;
    const std::uint64_t generation = detail::fork_generation.load(std::memory_order_relaxed);
    ChaCha12::Key key;
    source_(key.data(), sizeof key);
    core_ = ChaCha12(key);
    generation_ = generation;
    words_left_ = RESEED_WORDS;
    ++seeds_;
}

ThreadRng& thread_rng() noexcept { return tls_rng; }

WideChaCha8 make_task_generator() {
    ThreadRng& rng = thread_rng();
    WideChaCha8::Key key;
    for (auto& word : key) {
        word = rng.next_u32();
    }
    return WideChaCha8(key);
}

namespace {

// Eight ChaCha8 blocks of one nonce, one counter per lane.
using Lanes = detail::ChaChaLanes;

[[gnu::always_inline]] inline void eight_blocks(const std::uint32_t* input, std::uint64_t counter,
                                                std::uint32_t* out) noexcept {
    Lanes in[16];
    for (unsigned w = 0; w < 16; ++w) {
        in[w] = Lanes{} + input[w];
    }
    for (unsigned b = 0; b < 8; ++b) {
        const std::uint64_t block = counter + b;
        in[12][b] = static_cast<std::uint32_t>(block);
        in[13][b] = static_cast<std::uint32_t>(block >> 32);
    }
    detail::chacha8_lanes(in, out);
}

detail::WideRefill pick_chacha8_blocks() noexcept {
    return detail::avx2_kernels() ? &detail::chacha8_blocks_avx2 : &detail::chacha8_blocks_baseline;
}

}  // namespace

namespace detail {

void chacha8_blocks_baseline(const std::uint32_t* input, std::uint64_t counter,
                             std::uint32_t* out) noexcept {
    eight_blocks(input, counter, out);
}

#if defined(__x86_64__)
[[gnu::target("avx2")]]
#endif
void chacha8_blocks_avx2(const std::uint32_t* input,
                                                 std::uint64_t counter,
                                                 std::uint32_t* out) noexcept {
    eight_blocks(input, counter, out);
}

const WideRefill chacha8_blocks = pick_chacha8_blocks();

}  // namespace detail

}  // namespace twirlkit
