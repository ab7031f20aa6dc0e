// A small C++17 wrapper over the six exports: the library's lifetime as an object, messages as
// byte vectors, a std::function as the receive callback, and exceptions for misuse.
//
//   orma::Link link(ORMA_DLL_MODE_TCP, ORMA_DLL_PROTOCOL_FLOW, [](orma::Bytes m) { ... });
//   link.send({0x01});
//
// The library is one per process, so only one Link may live at a time.
#pragma once

#include <ORMA_DLL.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace orma {

// The bytes of a message, not owned (what std::span<const uint8_t> is in C++20): made from a
// pointer and a length, or from any contiguous container of uint8_t (std::vector, std::array,
// a C array, std::span).
class Bytes {
public:
    constexpr Bytes() = default;
    constexpr Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    template <class Container,
              class = std::enable_if_t<std::is_convertible_v<decltype(std::data(std::declval<const Container&>())),
                                                             const uint8_t*>>>
    constexpr Bytes(const Container& bytes) : data_(std::data(bytes)), size_(std::size(bytes)) {}

    constexpr const uint8_t* data() const { return data_; }
    constexpr size_t size() const { return size_; }
    constexpr bool empty() const { return size_ == 0; }
    constexpr uint8_t operator[](size_t i) const { return data_[i]; }
    constexpr const uint8_t* begin() const { return data_; }
    constexpr const uint8_t* end() const { return data_ + size_; }

private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

class Link {
public:
    // Runs on the library's receive thread; the bytes are valid only during the call.
    using Handler = std::function<void(Bytes message)>;

    // Starts the library (blocks about 3 s in mode 2, 1 s in mode 1). Without a handler, under
    // protocol 2, messages wait for receive().
    explicit Link(int32_t mode, int32_t protocol = ORMA_DLL_PROTOCOL_FLOW, Handler handler = {})
        : handler_(std::move(handler))
    {
        Link* expected = nullptr;
        if (!active_.compare_exchange_strong(expected, this))
            throw std::logic_error("orma::Link: the library is already in use by another Link");
        ORMA_DLL_Init(mode, protocol, 0, handler_ ? &Link::trampoline : nullptr);
    }

    // Stops the library: no handler call begins after this returns.
    ~Link()
    {
        ORMA_DLL_Exit();
        active_.store(nullptr);
    }

    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    void send(Bytes message)
    {
        if (message.empty() || message.size() > 255)
            throw std::invalid_argument("orma::Link::send: a message is 1 to 255 bytes");
        if (ORMA_DLL_Send_Message(message.data(), static_cast<uint8_t>(message.size())) != 0)
            throw std::runtime_error("orma::Link::send: the library could not queue the message");
    }
    void send(std::initializer_list<uint8_t> bytes) { send(Bytes(bytes.begin(), bytes.size())); }

    // The oldest stored message, if any (hosts without a handler).
    std::optional<std::vector<uint8_t>> receive()
    {
        uint8_t buffer[255];
        uint8_t length = 0;
        if (ORMA_DLL_Receive_Message(buffer, &length) != 0)
            return std::nullopt;
        return std::vector<uint8_t>(buffer, buffer + length);
    }

    // Sends the next queued command when the com state allows it.
    void loop() { ORMA_DLL_Loop(); }
    // True when a command may go out at once (protocol 2: no command awaits its response).
    bool com_state() const { return ORMA_DLL_getComState() == 1; }

private:
    static int32_t ORMA_DLL_CALL trampoline(const uint8_t* message, int32_t length)
    {
        if (Link* link = active_.load(); link && link->handler_ && length > 0)
            link->handler_(Bytes(message, static_cast<size_t>(length)));
        return 0;
    }

    Handler handler_;
    static inline std::atomic<Link*> active_{nullptr};
};

} // namespace orma
