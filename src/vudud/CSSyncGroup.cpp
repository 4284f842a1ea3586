#include "CSSyncGroup.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "CSException.h"
#include "CSSys.h"

namespace {

// The flushes of one key. Generation n is the n-th flush started; it serves every request that
// arrived before it started.
struct KeyState {
    bool running = false;
    uint64 started = 0;
    uint64 finished = 0;
    uint64 lastFailed = 0;  // generation of the latest failed flush; 0: none
    CSException failure;    // its error
    int users = 0;          // threads waiting on or running a flush of the key
    std::condition_variable changed;
};

std::mutex gLock;
std::map<std::string, std::unique_ptr<KeyState>> gKeys;  // guarded by gLock

}  // namespace

void CSSyncGroup::share(const std::string& key, const std::function<void()>& flush) {
    std::unique_lock<std::mutex> hold(gLock);
    auto& slot = gKeys[key];
    if (!slot) slot = std::make_unique<KeyState>();
    KeyState& state = *slot;
    state.users++;
    // The first flush to start from now on serves this request.
    const uint64 needed = state.started + 1;
    std::optional<CSException> error;
    while (state.finished < needed) {
        if (state.running) {
            state.changed.wait(hold);
            continue;
        }
        state.running = true;
        const uint64 generation = ++state.started;
        hold.unlock();
        std::optional<CSException> failed;
        try {
            flush();
        } catch (const CSException& e) {
            failed = e;
        } catch (...) {
            // Whatever went wrong, the waiters must not wait for this flush forever.
            failed = CSException(CS_CONTEXT, CS_ERR_GENERIC_ERROR, "Flush failed");
        }
        hold.lock();
        if (failed) {
            state.lastFailed = generation;
            state.failure = *failed;
        }
        state.finished = generation;
        state.running = false;
        state.changed.notify_all();
    }
    if (state.lastFailed >= needed) error = state.failure;
    if (--state.users == 0) gKeys.erase(key);
    hold.unlock();
    if (error) throw *error;
}

int CSSyncGroup::users(const std::string& key) {
    std::lock_guard<std::mutex> hold(gLock);
    auto it = gKeys.find(key);
    return it == gKeys.end() ? 0 : it->second->users;
}

void CSSyncGroup::syncDir(const std::string& path) {
    share(path, [&path] { CSSys::sys_syncDir(path.c_str()); });
}
