#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>
#include <vector>

#include "core/crc.h"
#include "core/epoller.h"

TEST(Crc, PublishedCheckValues)
{
    const char* text = "123456789";
    uint16_t c16 = 0xFFFF;
    uint32_t c32 = 0xFFFFFFFF;
    for (const char* p = text; *p; p++) {
        c16 = crc16_update(c16, uint8_t(*p));
        c32 = crc32_update(c32, uint8_t(*p));
    }
    EXPECT_EQ(c16, 0x29B1);          // CRC-16/CCITT-FALSE
    EXPECT_EQ(~c32, 0xFC891918u);    // CRC-32/BZIP2
    EXPECT_EQ(crc16_update(0, 0), 0);
    EXPECT_EQ(crc32_update(0, 1), 0x04C11DB7u);
}

namespace {

struct CtlCall {
    int op;
    int fd;
    uint32_t events;
};
std::vector<CtlCall> calls;
int recording_ctl(int epfd, int op, int fd, epoll_event* ev)
{
    calls.push_back({op, fd, ev ? ev->events : 0});
    return epoll_ctl(epfd, op, fd, ev);
}

struct Reader : EPoller {
    std::vector<uint32_t> got;
    void onEvents(uint32_t ev) override { got.push_back(ev); }
};

class EPollerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(epoller_init());
        epoller_set_ctl(&recording_ctl);
        calls.clear();
        ASSERT_EQ(pipe(a), 0);
        ASSERT_EQ(pipe(b), 0);
    }
    void TearDown() override
    {
        epoller_set_ctl(nullptr);
        epoller_done();
        for (int fd : {a[0], a[1], b[0], b[1]})
            close(fd);
    }
    int a[2], b[2];
};

}  // namespace

TEST_F(EPollerTest, AddModDelOnce)
{
    Reader r;
    r.setEvents(a[0], EPOLLIN);
    r.setEvents(a[0], EPOLLIN);
    r.setEvents(a[0], EPOLLIN | EPOLLPRI);
    r.setEvents(a[0], 0);
    r.setEvents(a[0], 0);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].op, EPOLL_CTL_ADD);
    EXPECT_EQ(calls[1].op, EPOLL_CTL_MOD);
    EXPECT_EQ(calls[2].op, EPOLL_CTL_DEL);
    EXPECT_EQ(r.getEvents(), 0u);
}

TEST_F(EPollerTest, MovingRemovesOldFirstAndDelivers)
{
    Reader r;
    r.setEvents(a[0], EPOLLIN);
    r.setEvents(b[0], EPOLLIN);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].op, EPOLL_CTL_DEL);
    EXPECT_EQ(calls[1].fd, a[0]);
    EXPECT_EQ(calls[2].op, EPOLL_CTL_ADD);
    EXPECT_EQ(calls[2].fd, b[0]);

    ASSERT_EQ(write(a[1], "x", 1), 1);
    epoller_poll(0);
    EXPECT_TRUE(r.got.empty());  // the old fd no longer delivers
    ASSERT_EQ(write(b[1], "x", 1), 1);
    epoller_poll(100);
    ASSERT_EQ(r.got.size(), 1u);
    EXPECT_TRUE(r.got[0] & EPOLLIN);

    // A new fd with no events only stores it; the destructor removes a live registration.
    Reader idle;
    idle.setEvents(a[0], 0);
    EXPECT_EQ(calls.size(), 3u);
    EXPECT_EQ(idle.getFd(), a[0]);
}

TEST_F(EPollerTest, FailedRegistrationKeepsMask)
{
    Reader r;
    r.setEvents(12345, EPOLLIN);  // not an open descriptor
    EXPECT_EQ(r.getEvents(), 0u);
}
