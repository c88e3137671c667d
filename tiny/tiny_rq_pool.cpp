#include "tiny_rq_pool.h"
#include "QxClock.h"

#include <errno.h>
#include <time.h>

namespace {
// Statically initialised once: a link opened while another one waits must not
// re-initialise a mutex that may be held.
pthread_mutex_t s_mutex = PTHREAD_MUTEX_INITIALIZER;
// Broadcast whenever a request leaves the waiting state; waits on the monotonic clock.
pthread_cond_t s_cond;
pthread_once_t s_condOnce = PTHREAD_ONCE_INIT;
tiny_hd_request* s_pool = nullptr;
uint16_t s_uid = 0;

class ListLock {
public:
    ListLock() { pthread_mutex_lock(&s_mutex); }
    ~ListLock() { pthread_mutex_unlock(&s_mutex); }
};

int commit_function(tiny_hd_request* i_pRequest, void* i_pArg) {
    if (i_pRequest->id != *(uint16_t*)i_pArg) return 1;
    i_pRequest->state.store(TINY_RQ_ACKED);
    Clock_CondBroadcast(&s_cond);
    return 0;
}

void InitCond() { tiny_cond_init_monotonic(&s_cond); }
}  // namespace

void tiny_cond_init_monotonic(pthread_cond_t* o_pCond) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(o_pCond, &attr);
    pthread_condattr_destroy(&attr);
}

void tiny_deadline_in(struct timespec* o_pDeadline, uint64_t i_u64Us) {
    Clock_MonoDeadline(o_pDeadline, 0);
    uint64_t u64Ns = (uint64_t)o_pDeadline->tv_nsec + (i_u64Us % 1000000) * 1000;
    o_pDeadline->tv_sec += (time_t)(i_u64Us / 1000000 + u64Ns / 1000000000);
    o_pDeadline->tv_nsec = (long)(u64Ns % 1000000000);
}

void tiny_list_init() { pthread_once(&s_condOnce, InitCond); }

uint16_t tiny_list_add(tiny_hd_request** io_pHead, tiny_hd_request* i_pRequest) {
    ListLock lock;
    i_pRequest->prev = nullptr;
    i_pRequest->next = *io_pHead;
    if (*io_pHead != nullptr) (*io_pHead)->prev = i_pRequest;
    *io_pHead = i_pRequest;
    uint16_t u16Id = (uint16_t)(s_uid & 0x0FFF);
    s_uid++;
    // Set while the list is locked: the receive thread may look at it the moment it is in.
    i_pRequest->id = u16Id;
    return u16Id;
}

void tiny_list_remove(tiny_hd_request** io_pHead, tiny_hd_request* i_pRequest) {
    ListLock lock;
    if (*io_pHead == i_pRequest) {
        *io_pHead = i_pRequest->next;
        if (*io_pHead != nullptr) (*io_pHead)->prev = nullptr;
    } else if (i_pRequest->prev != nullptr) {
        i_pRequest->prev->next = i_pRequest->next;
        if (i_pRequest->next != nullptr) i_pRequest->next->prev = i_pRequest->prev;
    }
    i_pRequest->next = nullptr;
    i_pRequest->prev = nullptr;
}

void tiny_list_enumerate(tiny_hd_request** i_pHead, tiny_list_visit_t i_visit, void* i_pArg) {
    ListLock lock;
    for (tiny_hd_request* p = *i_pHead; p != nullptr; p = p->next)
        if (i_visit(p, i_pArg) == 0) break;
}

void tiny_list_clear(tiny_hd_request** io_pHead) {
    ListLock lock;
    *io_pHead = nullptr;
}

uint16_t tiny_put_request(tiny_hd_request* i_pRequest) {
    tiny_list_init();
    i_pRequest->state.store(TINY_RQ_WAITING);
    return tiny_list_add(&s_pool, i_pRequest);
}

void tiny_remove_request(tiny_hd_request* i_pRequest) { tiny_list_remove(&s_pool, i_pRequest); }

void tiny_commit_request(uint16_t i_u16Id) {
    tiny_list_init();
    tiny_list_enumerate(&s_pool, commit_function, &i_u16Id);
}

void tiny_decline_requests() {
    // Unlinked as they are declined: their senders return and their stack
    // records go away, so no link may point at them afterwards.
    tiny_list_init();
    ListLock lock;
    tiny_hd_request* p = s_pool;
    s_pool = nullptr;
    while (p != nullptr) {
        tiny_hd_request* pNext = p->next;
        p->next = nullptr;
        p->prev = nullptr;
        p->state.store(TINY_RQ_DECLINED);
        p = pNext;
    }
    Clock_CondBroadcast(&s_cond);
}

uint8_t tiny_wait_request(tiny_hd_request* i_pRequest, uint64_t i_u64TimeoutUs) {
    tiny_list_init();
    struct timespec deadline;
    tiny_deadline_in(&deadline, i_u64TimeoutUs);
    ListLock lock;
    while (i_pRequest->state.load() == TINY_RQ_WAITING)
        if (Clock_CondTimedWait(&s_cond, &s_mutex, &deadline) == ETIMEDOUT) break;
    return i_pRequest->state.load();
}

void tiny_init_pool(tiny_request_pool* i_pPool) {
    i_pPool->next = (tiny_pool_request*)i_pPool;
    i_pPool->prev = (tiny_pool_request*)i_pPool;
    i_pPool->count = 0;
    pthread_mutex_init(&i_pPool->mutex, nullptr);
}

void tiny_init_request(tiny_pool_request* i_pRequest) {
    i_pRequest->next = i_pRequest;
    i_pRequest->prev = i_pRequest;
    i_pRequest->state = 0;
    i_pRequest->id = 0;
    pthread_mutex_init(&i_pRequest->mutex, nullptr);
}

tiny_pool_request* tiny_find_request(tiny_request_pool* i_pPool, uint16_t i_u16Id) {
    tiny_pool_request* pFound = nullptr;
    pthread_mutex_lock(&i_pPool->mutex);
    for (tiny_pool_request* p = i_pPool->next; p != (tiny_pool_request*)i_pPool; p = p->next) {
        if (p->id == i_u16Id) {
            pFound = p;
            break;
        }
    }
    pthread_mutex_unlock(&i_pPool->mutex);
    return pFound;
}
