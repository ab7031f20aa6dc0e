#include "api/voice.h"

#include "api/session.h"
#include "logging/log.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

namespace {

// Beyond this many queued messages a link's thread waits for the callback, so that a slow host
// holds the module back instead of letting the queue grow.
constexpr size_t ROOM = 64;

struct Item {
    uint8_t length;
    uint8_t bytes[255];
};

struct Voice {
    std::mutex lock;
    std::condition_variable room;
    std::deque<Item> queue;
    bool open = false;
    bool speaking = false; // a thread is handing messages to the callback
};

// Never destroyed: a thread that a stop gave up on may still come back to it.
Voice& g_voice = *new Voice;

} // namespace

void voice_open()
{
    const std::lock_guard hold(g_voice.lock);
    g_voice.queue.clear();
    g_voice.open = true;
}

void voice_close()
{
    {
        const std::lock_guard hold(g_voice.lock);
        g_voice.open = false;
        g_voice.queue.clear();
    }
    g_voice.room.notify_all();
}

void voice_wait_for_room()
{
    std::unique_lock hold(g_voice.lock);
    g_voice.room.wait(hold, [] { return !g_voice.open || g_voice.queue.size() < ROOM; });
}

bool voice_push(const uint8_t* message, int32_t length)
{
    if (length < 1 || length > 255)
        return false;
    const std::lock_guard hold(g_voice.lock);
    if (!g_voice.open)
        return false;
    // Logged in the order of the queue, which is the order of the callback's calls.
    Log_Message(message, static_cast<uint16_t>(length));
    Item& item = g_voice.queue.emplace_back();
    item.length = static_cast<uint8_t>(length);
    std::memcpy(item.bytes, message, static_cast<size_t>(length));
    return true;
}

void voice_deliver()
{
    std::unique_lock hold(g_voice.lock);
    if (g_voice.speaking)
        return;
    g_voice.speaking = true;
    while (g_voice.open && !g_voice.queue.empty()) {
        Item item = g_voice.queue.front();
        g_voice.queue.pop_front();
        hold.unlock();
        g_voice.room.notify_all();
        if (const ORMA_DLL_ReceiveCallback callback = g_orma.host_callback)
            callback(item.bytes, item.length);
        hold.lock();
    }
    g_voice.speaking = false;
}

bool voice_waiting()
{
    const std::lock_guard hold(g_voice.lock);
    return g_voice.open && !g_voice.speaking && !g_voice.queue.empty();
}
