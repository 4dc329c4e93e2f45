// _kbhit and _getch on whatever standard input is: a pipe, a file, an empty
// device, a terminal.
#include <conio.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

extern "C" int console_headers_compile_as_c(void);

namespace {

// Puts `fd` on standard input for the test and the original back after it.
class StdinTest : public ::testing::Test {
protected:
    void SetUp() override { saved_ = ::dup(STDIN_FILENO); }
    void TearDown() override {
        ::dup2(saved_, STDIN_FILENO);
        ::close(saved_);
    }
    static void UseAsStdin(int fd) {
        ASSERT_EQ(::dup2(fd, STDIN_FILENO), STDIN_FILENO);
        ::close(fd);
    }

private:
    int saved_ = -1;
};

TEST_F(StdinTest, AKeyOnAPipeStaysWaitingUntilRead) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    UseAsStdin(fds[0]);

    EXPECT_EQ(_kbhit(), 0);
    ASSERT_EQ(::write(fds[1], "kz", 2), 2);
    EXPECT_NE(_kbhit(), 0);
    EXPECT_NE(_kbhit(), 0) << "looking consumed the key";

    char key = 0;
    ASSERT_EQ(::read(STDIN_FILENO, &key, 1), 1);
    EXPECT_EQ(key, 'k');
    EXPECT_NE(_kbhit(), 0);
    EXPECT_EQ(_getch(), 'z');
    EXPECT_EQ(_kbhit(), 0);

    // End of input is not a key, and there is nothing more to get.
    ::close(fds[1]);
    EXPECT_EQ(_kbhit(), 0);
    EXPECT_EQ(_getch(), EOF);
}

TEST_F(StdinTest, AFileHasKeysUntilItsEnd) {
    const char* tmp = std::getenv("FL_TEST_TMP");
    const std::filesystem::path dir = tmp != nullptr ? tmp : "/tmp";
    std::filesystem::create_directories(dir);
    const auto path = dir / "conio_keys.txt";
    std::ofstream(path) << "q";
    UseAsStdin(::open(path.c_str(), O_RDONLY));

    EXPECT_NE(_kbhit(), 0);
    EXPECT_EQ(_getch(), 'q');
    EXPECT_EQ(_kbhit(), 0);
}

TEST_F(StdinTest, AnEmptyDeviceNeverHasAKey) {
    UseAsStdin(::open("/dev/null", O_RDONLY));
    EXPECT_EQ(_kbhit(), 0);
    EXPECT_EQ(_getch(), EOF);
}

// A terminal: keys arrive one by one without a line end and are not echoed,
// and the terminal's own mode is back once the process has exited. Run in a
// child so that its exit is the one that restores.
TEST_F(StdinTest, ATerminalGivesKeysAtOnceAndGetsItsModeBackAtExit) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string slaveName = ::ptsname(master);
    const int slave = ::open(slaveName.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    termios before = {};
    ASSERT_EQ(::tcgetattr(slave, &before), 0);
    ASSERT_NE(before.c_lflag & ICANON, 0u);
    ASSERT_NE(before.c_lflag & ECHO, 0u);

    std::fflush(nullptr);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(slave, STDIN_FILENO);
        int code = 0;
        if (_kbhit() != 0) code |= 1;
        termios during = {};
        ::tcgetattr(STDIN_FILENO, &during);
        if (during.c_lflag & (ICANON | ECHO)) code |= 2;
        // No line end: a terminal left in canonical mode would hold it back.
        if (::write(master, "x", 1) != 1) code |= 4;
        bool seen = false;
        for (int i = 0; i < 2000 && !seen; ++i) {
            seen = _kbhit() != 0;
            if (!seen) ::usleep(1000);
        }
        if (!seen) code |= 8;
        if (_getch() != 'x') code |= 16;
        std::exit(code);  // the exit is what restores the terminal
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "bits: 1 key before any, 2 still canonical or echoing, "
                                         "4 write, 8 key never seen, 16 wrong key";
    termios after = {};
    ASSERT_EQ(::tcgetattr(slave, &after), 0);
    EXPECT_NE(after.c_lflag & ICANON, 0u);
    EXPECT_NE(after.c_lflag & ECHO, 0u);
    ::close(slave);
    ::close(master);
}

TEST(ConsoleHeaders, CompileAsC) { EXPECT_EQ(console_headers_compile_as_c(), 1); }

}  // namespace
