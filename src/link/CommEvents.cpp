#include "CommEvents.h"

#include <sys/eventfd.h>
#include <unistd.h>

CCommQueue::CCommQueue() : m_nFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CCommQueue::~CCommQueue() {
    if (m_nFd >= 0) {
        close(m_nFd);
    }
}

void CCommQueue::Post(CCommEvent event) {
    std::lock_guard lock(m_mutex);
    const bool bWasEmpty = m_events.empty();
    m_events.push_back(std::move(event));
    if (bWasEmpty && m_nFd >= 0) {
        // Written under the mutex, so Take never clears a wake-up for an event it left.
        const uint64_t nOne = 1;
        [[maybe_unused]] const ssize_t n = write(m_nFd, &nOne, sizeof nOne);
    }
}

std::vector<CCommEvent> CCommQueue::Take() {
    std::vector<CCommEvent> events;
    std::lock_guard lock(m_mutex);
    events.swap(m_events);
    uint64_t nCount = 0;
    [[maybe_unused]] const ssize_t n = read(m_nFd, &nCount, sizeof nCount);
    return events;
}
