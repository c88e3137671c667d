// Raw serial operations on real ptys and descriptors.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

#include "serial_testing.h"

using namespace fwtest;

TEST(Uart, SpeedChangeReachesTheLineRawWithoutFlowControlAndAMissingDeviceIsReported) {
    sim::PtyLine line;
    UseSerialDevice(line.slavePath());
    TaskOnPort port(line.slavePath(), 0);
    // Flow control as a driver may leave it: none of it may survive.
    struct termios tio;
    ASSERT_EQ(tcgetattr(port.task.m_Uartfd, &tio), 0);
    tio.c_iflag |= IXON | IXOFF | IXANY;
    tio.c_cflag = (tio.c_cflag | CRTSCTS) & ~CLOCAL;
    ASSERT_EQ(tcsetattr(port.task.m_Uartfd, TCSANOW, &tio), 0);
    for (int speed : {57600, 115200, 57600}) {
        EXPECT_EQ(port.task.SetUartSpeed(line.slavePath().c_str(), speed), 0);
        EXPECT_EQ(line.baud(), (unsigned)speed);
        ASSERT_EQ(tcgetattr(port.task.m_Uartfd, &tio), 0);
        EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), 0u);
        EXPECT_EQ(tio.c_cflag & (CRTSCTS | CLOCAL), (tcflag_t)CLOCAL);
    }
    EXPECT_NE(port.task.SetUartSpeed("/dev/no-such-tty", 115200), 0);
}

TEST(Uart, SendUartMsgGivesUpAfterThreeAttemptsWithoutReadingPastTheMessage) {
    sim::PtyLine held;  // nobody takes what is written on it
    struct {
        const char* legend;
        std::string dev;
        bool full;  // opened as the agent opens its port, then filled up by another writer
    } rows[] = {
        {"descriptor that cannot be written", "/dev/null", false},
        {"line held by the peer, its buffer full", held.slavePath(), true},
    };
    for (const auto& r : rows) {
        UseSerialDevice(r.dev, 0.01);
        LogCapture log(true);
        CTaskfile2mcu task;
        task.m_Uartfd = r.full ? task.OpenUart() : open(r.dev.c_str(), O_RDONLY);
        ASSERT_GT(task.m_Uartfd, 0);
        if (r.full) {
            // Until a whole round finds no room: the pty moves bytes on behind our back.
            int fd = open(r.dev.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY);
            std::string fill(4096, 'f');
            for (bool took = true; took;) {
                took = false;
                while (write(fd, fill.data(), fill.size()) > 0) took = true;
                usleep(50000);
            }
            close(fd);
        }
        // Binary, not zero-terminated, followed by bytes that must not be printed.
        char buf[8] = {'A', 'B', 0x01, (char)0xFF, 'X', 'X', 'X', 'X'};
        EXPECT_EQ(task.SendUartMsg(buf, 4), -2) << r.legend;
        // Three attempts, each logging the message escaped and nothing past it.
        EXPECT_EQ(log.count("Msg is [AB\\x01\\xff], sRet is <-1>"), 3u) << r.legend << log.text();
        EXPECT_FALSE(log.contains("XXXX")) << r.legend;
        task.CloseUart();
    }
}

TEST(Uart, ReadsWaitAsToldAndReturnWhatIsThere) {
    sim::PtyLine line;
    UseSerialDevice(line.slavePath(), 0.5);
    TaskOnPort port(line.slavePath(), 0);
    CTaskfile2mcu& task = port.task;
    char buf[256] = {0};

    errno = 0;
    EXPECT_EQ(task.Uart2tread(task.m_Uartfd, buf, 255, false), -1);  // silent line
    EXPECT_EQ(errno, ETIME);

    line.write("S", 1);  // a single byte of a longer message is enough
    EXPECT_EQ(task.Uart2tread(task.m_Uartfd, buf, 255, false), 1);
    EXPECT_EQ(buf[0], 'S');

    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        line.write("START", 5);
    });
    memset(buf, 0, sizeof(buf));
    EXPECT_EQ(task.Uart2tread(task.m_Uartfd, buf, 255, true), 5);  // blocks past the 200 ms
    late.join();
    EXPECT_STREQ(buf, "START");

    errno = 0;
    EXPECT_EQ(task.StUartRead1Byte(1000), -1);
    EXPECT_EQ(errno, ETIME);
    line.write("\xff\x00", 2);
    EXPECT_EQ(task.StUartRead1Byte(1000), 0xFF);  // a byte, never mistaken for a failure
    EXPECT_EQ(task.StUartRead1Byte(1000), 0x00);
    EXPECT_EQ(task.StUartWrite("\x06\x43", 2), 2);
    char got[4] = {0};
    EXPECT_EQ(line.read(got, sizeof(got), 2000), 2);
}

TEST(Uart, OpenAndCloseLeaveTheDescriptorToTheCallerAndZero) {
    sim::PtyLine line;
    UseSerialDevice(line.slavePath());
    CTaskfile2mcu task;
    int fd = task.OpenUart();
    ASSERT_GT(fd, 0);
    EXPECT_EQ(task.m_Uartfd, 0);  // the caller stores it
    task.m_Uartfd = fd;
    EXPECT_EQ(task.CloseUart(), 0);
    EXPECT_EQ(task.m_Uartfd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // really closed
    // Closing again (the port counts as not open) leaves descriptor 0 alone.
    EXPECT_EQ(task.CloseUart(), 0);
    EXPECT_NE(fcntl(0, F_GETFD), -1);
    UseSerialDevice("/dev/no-such-tty");
    EXPECT_EQ(task.OpenUart(), -1);
}
