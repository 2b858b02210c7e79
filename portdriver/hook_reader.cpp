#include "portdriver/hook_reader.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace portdriver {

HookReader::HookReader() : answerFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    thread_ = std::thread([this] { run(); });
}

HookReader::~HookReader() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    asked_.notify_one();
    thread_.join();
    close(answerFd_);
}

void HookReader::ask(int slot) {
    {
        std::lock_guard lock(mutex_);
        questions_.push_back(slot);
    }
    asked_.notify_one();
}

std::vector<HookReader::Answer> HookReader::take() {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t got = read(answerFd_, &count, sizeof count);
    std::lock_guard lock(mutex_);
    return std::exchange(answers_, {});
}

void HookReader::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        asked_.wait(lock, [this] { return stopping_ || !questions_.empty(); });
        if (stopping_)
            return;
        int slot = questions_.front();
        questions_.pop_front();
        lock.unlock();
        std::optional<PublishedValues> values = publishedValues(slot);
        lock.lock();
        answers_.emplace_back(slot, values);
        uint64_t one = 1;
        [[maybe_unused]] ssize_t written = write(answerFd_, &one, sizeof one);
    }
}

} // namespace portdriver
