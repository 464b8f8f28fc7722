#include "globals.h"

// The queues are never destroyed: exit runs while the detached threads may
// still be using them, so they live until the process is gone.
tavuQueue<NetlinkDatagram*>& g_netlinkDataQueue = *new tavuQueue<NetlinkDatagram*>;
tavuQueue<tavuNetlinkEvent*>& g_hpEvQueue = *new tavuQueue<tavuNetlinkEvent*>;

pthread_mutex_t g_netlinkDataQueue_mutex;
pthread_cond_t g_netlinkDataQueue_cond;
pthread_mutex_t g_hpEvQueue_mutex;
pthread_cond_t g_hpEvQueue_cond;

std::atomic<int32_t> g_netlinkSocketFd{-1};
std::atomic<int32_t> g_clientSockfd{-1};

std::atomic<bool> g_intakeStopped{false};

trace_kelu_desc_t g_netlinkTrace = TAVU_NO_TRACE_BUFFER;
std::atomic<uint8_t> g_tracInitCalled{0};
const char* g_progName = nullptr;

int32_t g_msgSerialNum = 0;

std::atomic<int32_t> g_totalNetlinkEvents{0};
std::atomic<int32_t> g_totalTavuEvents{0};
std::atomic<int32_t> g_sentToClient{0};
