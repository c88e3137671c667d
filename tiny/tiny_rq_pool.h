// Pending requests of the acknowledged link: one process-wide list, so an
// acknowledgement seen on a receive thread releases the sender waiting for it.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include <atomic>

#define TINY_RQ_WAITING 0
#define TINY_RQ_ACKED 1
#define TINY_RQ_DECLINED 2

// Lives on the waiting sender's stack while it is in the list. The state is
// written by the receive thread under the list lock, which the sender waits on.
typedef struct tiny_hd_request {
    tiny_hd_request* next = nullptr;
    tiny_hd_request* prev = nullptr;
    std::atomic<uint8_t> state{TINY_RQ_WAITING};
    uint16_t id = 0;
} tiny_hd_request;

typedef int (*tiny_list_visit_t)(tiny_hd_request* i_pRequest, void* i_pArg);

void tiny_list_init();
// Pushes at the head, gives it the next id (low 12 bits of the counter) and returns that id.
uint16_t tiny_list_add(tiny_hd_request** io_pHead, tiny_hd_request* i_pRequest);
void tiny_list_remove(tiny_hd_request** io_pHead, tiny_hd_request* i_pRequest);
// Visits from the head toward the tail; stops at the first visit returning 0.
void tiny_list_enumerate(tiny_hd_request** i_pHead, tiny_list_visit_t i_visit, void* i_pArg);
void tiny_list_clear(tiny_hd_request** io_pHead);

uint16_t tiny_put_request(tiny_hd_request* i_pRequest);
void tiny_remove_request(tiny_hd_request* i_pRequest);
void tiny_commit_request(uint16_t i_u16Id);
// Every pending request ends declined and the list is emptied.
void tiny_decline_requests();
// Blocks until the request is acknowledged or declined, or the time-out (real
// microseconds) has passed; returns its state then.
uint8_t tiny_wait_request(tiny_hd_request* i_pRequest, uint64_t i_u64TimeoutUs);

// Timed waits of the channel run on the monotonic clock, so a clock step cannot stretch them.
void tiny_cond_init_monotonic(pthread_cond_t* o_pCond);
void tiny_deadline_in(struct timespec* o_pDeadline, uint64_t i_u64Us);

// Circular pool of the same module (kept for its users; the acknowledged link uses the list).
typedef struct tiny_pool_request {
    tiny_pool_request* next;
    tiny_pool_request* prev;
    uint8_t state;
    uint16_t id;
    pthread_mutex_t mutex;
} tiny_pool_request;

typedef struct tiny_request_pool {
    tiny_pool_request* next;
    tiny_pool_request* prev;
    uint16_t count;
    pthread_mutex_t mutex;
} tiny_request_pool;

void tiny_init_pool(tiny_request_pool* i_pPool);
void tiny_init_request(tiny_pool_request* i_pRequest);
tiny_pool_request* tiny_find_request(tiny_request_pool* i_pPool, uint16_t i_u16Id);
