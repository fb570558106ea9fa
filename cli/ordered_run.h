// Work on many files at once, reported in the order the files came, as
// GNU parallel's --keep-order does: each file's result is handed on as soon
// as it and every file before it are done, never before it is done.
//
// Internal to the tools; not installed.
#pragma once

#include <condition_variable>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

// Takes items (a file's path, and what is to be done to it) from
// `next(Item*)` (false at the end) and runs `work(item)` on each, on up to
// `jobs` threads; hands `report(item, result)` each result in the order of
// the items, on the calling thread. At most a few times `jobs` items are
// taken ahead of the first one not yet reported, so memory is bounded in
// `jobs`, not in the number of files. Once *stop is non-zero no item is
// taken and no work started: the work in hand is finished and reported, and
// what was taken but not started is left out. Items whose `same(a, b)`
// holds (one file named twice, or through two links) are worked on one
// after the other, in their order, as one thread would. `jobs` of 1 runs
// everything on the calling thread.
template <typename Item, typename Result, typename Next, typename Work, typename Report,
          typename Same>
void kevo_runInOrder(size_t jobs, Next next, Work work, Report report, Same same,
                     const volatile std::sig_atomic_t* stop)
{
    Item item;
    if (jobs <= 1) {
        while (!*stop && next(&item)) {
            report(item, work(item));
        }
        return;
    }
    struct Slot {
        Item item;
        bool done = false;
        std::optional<Result> result;  // none when it was never started
    };
    const size_t window = 4 * jobs;
    std::mutex mutex;
    std::condition_variable slotTaken;
    std::condition_variable slotDone;
    // The slots from the first not yet reported on, numbered from `first`;
    // they are claimed in order, those before `unclaimed` are.
    std::deque<Slot> slots;
    uint64_t first = 0;
    uint64_t unclaimed = 0;
    size_t idle = 0;  // workers waiting for a slot
    bool ended = false;

    const auto worker = [&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            slotTaken.wait(lock, [&] { return ended || unclaimed < first + slots.size(); });
            if (unclaimed >= first + slots.size()) {
                return;
            }
            --idle;
            const uint64_t number = unclaimed++;
            // An earlier item on the same file goes first: every earlier one
            // is claimed already, so it is being worked on and will be done.
            slotDone.wait(lock, [&] {
                for (uint64_t earlier = first; earlier < number; ++earlier) {
                    const Slot& slot = slots[earlier - first];
                    if (!slot.done && same(slot.item, slots[number - first].item)) {
                        return false;
                    }
                }
                return true;
            });
            std::optional<Result> result;
            if (!*stop) {
                const Item taken = slots[number - first].item;
                lock.unlock();
                result = work(taken);
                lock.lock();
            }
            // Only done slots leave the front, so this one is still here.
            Slot& slot = slots[number - first];
            slot.result = std::move(result);
            slot.done = true;
            ++idle;
            slotDone.notify_all();
        }
    };
    // Threads start only as work comes, so a run over one file starts one;
    // where no thread can be had at all (a limit on address space or
    // processes), the calling thread does the work itself.
    std::vector<std::thread> threads;
    const auto addWorker = [&] {
        try {
            threads.emplace_back([&] {
                std::unique_lock<std::mutex> held(mutex);
                ++idle;
                held.unlock();
                worker();
            });
        } catch (const std::system_error&) {
        }
    };
    bool more = true;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        while (more && slots.size() < window) {
            lock.unlock();
            more = !*stop && next(&item);
            lock.lock();
            if (!more) {
                break;
            }
            slots.push_back(Slot{item, false, std::nullopt});
            slotTaken.notify_one();
            if (first + slots.size() - unclaimed > idle && threads.size() < jobs) {
                lock.unlock();
                addWorker();
                lock.lock();
            }
        }
        if (threads.empty() && unclaimed < first + slots.size()) {
            Slot& slot = slots[unclaimed++ - first];
            lock.unlock();
            std::optional<Result> result;
            if (!*stop) {
                result = work(slot.item);
            }
            lock.lock();
            slot.result = std::move(result);
            slot.done = true;
        }
        if (slots.empty()) {
            break;
        }
        slotDone.wait(lock, [&] { return slots.front().done; });
        Slot done = std::move(slots.front());
        slots.pop_front();
        ++first;
        if (done.result) {
            lock.unlock();
            report(done.item, *done.result);
            lock.lock();
        }
    }
    ended = true;
    slotTaken.notify_all();
    lock.unlock();
    for (std::thread& thread : threads) {
        thread.join();
    }
}
