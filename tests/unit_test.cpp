#include "command.hpp"
#include "console.hpp"
#include "guest_files.hpp"
#include "print_watch.hpp"
#include "tick.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A file in a fresh temporary directory, removed with it.
struct TempDir {
    std::string path;
    TempDir()
    {
        char pattern[] = "/tmp/kelvane-unit-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string write(const std::string& name, const std::string& bytes) const
    {
        const std::string file = path + "/" + name;
        FILE* f = std::fopen(file.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        return file;
    }
};

using std::chrono::steady_clock;
using namespace std::chrono_literals;

// Waits for `child` until `limit` has passed; then kills it and fails, saying
// what hung. Returns its wait status, or -1 when it hung.
int wait_for_child(pid_t child, steady_clock::duration limit, const char* what)
{
    int status = 0;
    for (const auto deadline = steady_clock::now() + limit; waitpid(child, &status, WNOHANG) == 0; usleep(10000)) {
        if (steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            ADD_FAILURE() << "hung for " << std::chrono::duration_cast<std::chrono::seconds>(limit).count() << " s: " << what;
            return -1;
        }
    }
    return status;
}

int open_nonblocking(const std::string& path)
{
    return open(path.c_str(), O_RDONLY | O_NONBLOCK);
}

// last_byte as the watcher calls it, after its fstat.
int last_byte_of(int fd)
{
    struct stat status;
    return fstat(fd, &status) == 0 ? last_byte(fd, status) : -2;
}

struct FileCase {
    std::string contents;
    int expected;
};

// Writes each case's contents to a file and checks what `reader` makes of it.
template <std::size_t N, typename Reader>
void expect_read_from_files(const FileCase (&cases)[N], Reader reader)
{
    TempDir dir;
    for (const auto& c : cases) {
        const int fd = open_nonblocking(dir.write("file", c.contents));
        ASSERT_GE(fd, 0);
        EXPECT_EQ(reader(fd), c.expected) << "contents \"" << c.contents << "\"";
        close(fd);
    }
}

// This process's read calls and bytes read so far, from /proc/self/io; the
// read that fetches them counts only afterwards, with `own` bytes.
struct reads_so_far {
    long bytes = -1, calls = -1, own = 0;
};
reads_so_far count_reads()
{
    char text[512] = "";
    reads_so_far counts;
    const int fd = open("/proc/self/io", O_RDONLY);
    counts.own = read(fd, text, sizeof text - 1);
    close(fd);
    std::sscanf(text, "rchar: %ld wchar: %*d syscr: %ld", &counts.bytes, &counts.calls);
    return counts;
}

TEST(LayoutNumber, ReadsAtMostFiveBytesLikeAtoi)
{
    const FileCase cases[] = {
        {"1", 1},         {"0", 0},           {"2", 2},         {"-1", -1},
        {"  7", 7},       {"abc", 0},         {"000001", 0},    {"1234567", 12345},
        {"", 0},          {"\n\t 42x", 42},   {"+8", 8},        {"- 3", 0},
        {"1\n", 1},       {"     9", 0},      {"-0", 0},        {std::string("4\0" "2", 3), 4},
    };
    expect_read_from_files(cases, [](int fd) {
        const reads_so_far before = count_reads();
        const int number = read_layout_number(fd);
        EXPECT_LE(count_reads().bytes - before.bytes - before.own, 5) << "bytes read";
        return number;
    });
}

TEST(LayoutNumber, TakesNothingBeyondTheBytesGiven)
{
    EXPECT_EQ(layout_number("123", 2), 12);
    EXPECT_EQ(layout_number("-5", 1), 0);
}

TEST(LayoutNumber, LongDigitRunsSaturate)
{
    EXPECT_EQ(layout_number("99999999999", 11), INT32_MAX);
    EXPECT_EQ(layout_number("-99999999999", 12), -INT32_MAX);
    EXPECT_EQ(layout_number("2147483647", 10), INT32_MAX);
    EXPECT_EQ(layout_number("2147483640", 10), 2147483640);
}

TEST(LastByte, FoundBySeekingFromTheEnd)
{
    const FileCase cases[] = {
        {"%!PS\nshowpage\n\x04", 4},
        {"%!PS\nshowpage\n\x04\n", 10},
        {"\x04", 4},
        {"", -1},
        {"\xff", 255},
    };
    expect_read_from_files(cases, last_byte_of);
}

TEST(LastByte, LargeSparseFileCostsOneRead)
{
    TempDir dir;
    const std::string file = dir.write("DRUCKEN.PS", "");
    int fd = open(file.c_str(), O_WRONLY);
    ASSERT_EQ(ftruncate(fd, (off_t{8} << 30) - 1), 0);
    ASSERT_EQ(lseek(fd, 0, SEEK_END), (off_t{8} << 30) - 1);
    ASSERT_EQ(write(fd, "\x04", 1), 1);
    close(fd);
    fd = open_nonblocking(file);
    const reads_so_far before = count_reads();
    ASSERT_GE(before.calls, 0) << "no /proc/self/io to count reads with";
    EXPECT_EQ(last_byte_of(fd), 4);
    const reads_so_far after = count_reads();
    close(fd);
    EXPECT_EQ(after.calls - before.calls - 1, 1) << "read calls";
    EXPECT_EQ(after.bytes - before.bytes - before.own, 1) << "bytes read";
}

TEST(LastByte, NoByteFromAFifoOrADirectory)
{
    TempDir dir;
    const std::string fifo = dir.path + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, dir.path}) {
        const int fd = open_nonblocking(path);
        ASSERT_GE(fd, 0) << path;
        EXPECT_EQ(last_byte_of(fd), -1) << path;
        close(fd);
    }
}

// What /bin/sh makes of `word`: its one argument, byte for byte.
std::string through_shell(const std::string& word)
{
    const std::string command = "printf '%s|' " + word;
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[512];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, got);
    pclose(pipe);
    return out;
}

TEST(GuestFiles, FoundAfreshInTheFinderOrderAsNobodySeesThem)
{
    // What the guest directory holds, made by the shell; the path found, the
    // names offered and the folders met, as nobody finds them.
    const struct {
        const char* made;
        const char* found;
    } rows[] = {
        {"mkdir document; touch document/drucken.ps", "document/drucken.ps 1 1"},
        {"mkdir document DOCUMENT userdata; touch DOCUMENT/DRUCKEN.PS", "DOCUMENT/DRUCKEN.PS 1 2"},
        {"mkdir Document DOCUMENT; touch Document/Drucken.Ps DOCUMENT/drucken.ps DOCUMENT/Drucken.ps",
         "DOCUMENT/Drucken.ps 3 2"},
        {"mkdir DOCUMENT document; touch DOCUMENT/DRUCKEN.PS document/drucken.pS document/x", "document/drucken.pS 2 2"},
        {"mkdir document; touch document/DRUCKEN.PS; chmod 733 document; chmod 711 .", "document/DRUCKEN.PS 2 1"},
        {"mkdir Document DOCUMENT; touch Document/drucken.ps DOCUMENT/drucken.ps; chmod 711 .",
         "DOCUMENT/drucken.ps 1 1"},
        {"mkdir DOCUMENTS; touch DOCUMENTS/DRUCKEN.PS; chmod 711 .", " 0 0"},
    };
    for (const auto& row : rows) {
        TempDir dir;
        ASSERT_EQ(std::system(("cd '" + dir.path + "' && chmod 755 . && " + row.made).c_str()), 0) << row.made;
        // Root lists any directory; modes bind nobody.
        int result[2];
        ASSERT_EQ(pipe(result), 0);
        const pid_t child = fork();
        if (child == 0) {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
                _exit(1);
            char path[path_size] = "";
            int counts[2] = {0, 0};
            guest_files_start(dir.path.c_str());
            const int fd = open_guest_file(guest_print_file, path);
            visit_guest_files(guest_print_file, [](guest_place place, const char*, int, void* counted) {
                static_cast<int*>(counted)[place == GUEST_FOLDER] += place != GUEST_UNLISTED;
                return false;
            }, counts);
            dprintf(result[1], "%s %d %d", fd >= 0 ? path + dir.path.size() + 1 : "", counts[0], counts[1]);
            _exit(0);
        }
        close(result[1]);
        wait_for_child(child, 20s, "the finder, as nobody");
        char got[path_size + 32] = "";
        EXPECT_GE(read(result[0], got, sizeof got - 1), 0);
        close(result[0]);
        std::system(("chmod -R u+rwx '" + dir.path + "'").c_str());
        EXPECT_STREQ(got, row.found) << row.made;
    }
}

TEST(ShellQuote, HostileNamesComeBackWhole)
{
    const char* names[] = {
        "/home/tovi/dos/ZUZ/DOCUMENT/document/DRUCKEN.PS",
        "with blank",
        "it's",
        "''",
        "$(touch x)",
        "`touch x`",
        "a;rm -rf b",
        "a&b|c>d<e",
        "*?[a]~",
        "line\nbreak\ttab",
        "back\\slash",
        "\"double\"",
        "gr\xc3\xbc\xc3\x9f",
        "$HOME ${HOME}",
        "!#{}",
        "-rf",
        "-",
        " ",
        "%pipe%touch X #",
        "@options",
        " geos/document/DRUCKEN.PS",
    };
    for (const char* name : names) {
        char quoted[command_line_size];
        ASSERT_TRUE(shell_quote(quoted, sizeof quoted, name)) << name;
        const bool leading_mark = std::strchr("-%@ \t\n\r\f\v", name[0]) != nullptr;
        const std::string expected = std::string(leading_mark ? "./" : "") + name + "|";
        EXPECT_EQ(through_shell(quoted), expected) << "quoted as " << quoted;
    }
}

TEST(ShellQuote, PlainPathsStayAsTheyAre)
{
    const char* plain = "/home/u_1/a.b-c+d,e:f@g%h=i/DRUCKEN.PS";
    char quoted[command_line_size];
    ASSERT_TRUE(shell_quote(quoted, sizeof quoted, plain));
    EXPECT_STREQ(quoted, plain);
    ASSERT_TRUE(shell_quote(quoted, sizeof quoted, "-x/y"));
    EXPECT_STREQ(quoted, "./-x/y");
}

TEST(ShellQuote, NeverCutsAWord)
{
    char small[8];
    EXPECT_FALSE(shell_quote(small, sizeof small, "a'b'c'd"));
    EXPECT_STREQ(small, "");
    EXPECT_TRUE(shell_quote(small, sizeof small, "1234567"));

    // The worst case of the longest path still fits a command line.
    const std::string quotes(path_size - 1, '\'');
    char line[command_line_size];
    EXPECT_TRUE(shell_quote(line, sizeof line, quotes.c_str()));
}

std::atomic<int> ticks;
void count_tick() { ++ticks; }

std::atomic<int> earlier_handler_calls;
void earlier_handler(int) { ++earlier_handler_calls; }

// Sleeps through signals: nanosleep returns early at every tick.
void sleep_ms(long ms)
{
    struct timespec left = {ms / 1000, ms % 1000 * 1000000};
    while (nanosleep(&left, &left) != 0) {
    }
}

TEST(Tick, CallsTheProcedureAtItsPeriodAndRestoresTheEarlierAction)
{
    struct sigaction earlier = {};
    earlier.sa_handler = earlier_handler;
    ASSERT_EQ(sigaction(SIGALRM, &earlier, nullptr), 0);

    ticks = 0;
    const auto armed = steady_clock::now();
    ASSERT_EQ(tick_start(50, count_tick), 0);
    sleep_ms(20);
    // A loaded machine may oversleep past the first period.
    if (steady_clock::now() - armed < 45ms) {
        EXPECT_EQ(ticks, 0) << "the first tick is a whole period away";
    }
    sleep_ms(500);
    tick_stop();
    const auto periods = (steady_clock::now() - armed) / 50ms;
    EXPECT_GE(ticks, 3);
    EXPECT_LE(ticks, periods + 1);

    const int after_stop = ticks;
    sleep_ms(200);
    EXPECT_EQ(ticks, after_stop);

    struct sigaction now = {};
    ASSERT_EQ(sigaction(SIGALRM, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, earlier_handler);
    EXPECT_EQ(earlier_handler_calls, 0);

    signal(SIGALRM, SIG_DFL);
}

TEST(Tick, PeriodZeroNeverCalls)
{
    ticks = 0;
    ASSERT_EQ(tick_start(0, count_tick), 0);
    struct sigaction installed = {};
    sigaction(SIGALRM, nullptr, &installed);
    EXPECT_EQ(installed.sa_handler, tick_alarm_handler);
    EXPECT_EQ(installed.sa_flags & (SA_NODEFER | SA_RESTART | SA_SIGINFO), SA_NODEFER);
    sleep_ms(200);
    tick_stop();
    EXPECT_EQ(ticks, 0);
}

volatile sig_atomic_t in_tick;
void tick_running_a_command()
{
    if (in_tick)
        return;
    in_tick = 1;
    run_logged("Tick", "true", nullptr);
    in_tick = 0;
}

// A tick that runs a command while the main flow's own command starts or
// ends (as when a job is ready just as the emulator ends) must not hang:
// ticks every 3 ms through 2 s of main-flow commands, however many those are.
TEST(Command, TickCommandsInsideTheMainFlowsCommandNeverHang)
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        // The timer is armed before the handler is in place; on a loaded
        // machine 3 ms can pass in between, and SIGALRM's default ends us.
        signal(SIGALRM, SIG_IGN);
        tick_start(3, tick_running_a_command);
        for (const auto end = steady_clock::now() + 2s; steady_clock::now() < end;)
            run_logged("Main", "true", nullptr);
        tick_stop();
        _exit(0);
    }
    const int status = wait_for_child(child, 20s, "a tick's command waits for the main flow's command");
    EXPECT_TRUE(status == -1 || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << "wait status " << status;
}

// The ignored-signal mask of a command that run_logged starts.
unsigned long ignored_signals_of_a_command()
{
    TempDir dir;
    const std::string out = dir.path + "/status";
    FILE* devnull = std::freopen("/dev/null", "w", stdout);
    run_logged("Status", "grep SigIgn /proc/self/status > %s", out.c_str());
    std::fclose(devnull);
    FILE* f = std::fopen(out.c_str(), "r");
    unsigned long mask = 0;
    if (f == nullptr || std::fscanf(f, "SigIgn: %lx", &mask) != 1)
        ADD_FAILURE() << "no SigIgn line";
    if (f != nullptr)
        std::fclose(f);
    return mask;
}

// Like system(): a command gets Ctrl-C and Ctrl-\ at their default unless
// kelvane itself was started with them ignored (as a background job is).
TEST(Command, InterruptAndQuitReachTheCommandAsKelvaneFoundThem)
{
    const unsigned long interrupt_and_quit = (1ul << (SIGINT - 1)) | (1ul << (SIGQUIT - 1));
    for (auto disposition : {SIG_DFL, SIG_IGN}) {
        fflush(nullptr);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            signal(SIGINT, disposition);
            signal(SIGQUIT, disposition);
            const unsigned long ignored = ignored_signals_of_a_command() & interrupt_and_quit;
            struct sigaction after = {};
            sigaction(SIGINT, nullptr, &after);
            _exit((ignored == (disposition == SIG_IGN ? interrupt_and_quit : 0) ? 0 : 1)
                  | (after.sa_handler == disposition ? 0 : 2));
        }
        const int status = wait_for_child(child, 20s, "a command of run_logged, or the grep it runs");
        EXPECT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 0) << (disposition == SIG_IGN ? "ignored" : "default")
                                          << ": 1 the command's signals, 2 kelvane's own afterwards";
    }
}

void no_op() {}

// A tick must not cut a line that a stalled terminal or pipe holds up.
TEST(Command, LinesSurviveTicksWhileStandardOutputIsStalled)
{
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    const int capacity = fcntl(pipe_ends[1], F_SETPIPE_SZ, 4096);
    ASSERT_GT(capacity, 0);
    fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipe_ends[0]);
        dup2(pipe_ends[1], STDOUT_FILENO);
        const std::string filler(static_cast<std::size_t>(capacity), 'x');
        if (write(STDOUT_FILENO, filler.data(), filler.size()) != capacity)
            _exit(3);
        signal(SIGALRM, SIG_IGN); // as above: armed before it is handled
        tick_start(10, no_op);
        say("a line after the stall\n");
        tick_stop();
        _exit(0);
    }
    close(pipe_ends[1]);
    sleep_ms(300); // some thirty ticks while the pipe is full
    std::string out;
    char buffer[4096];
    ssize_t got = 1;
    struct pollfd readable = {pipe_ends[0], POLLIN, 0};
    for (const auto deadline = steady_clock::now() + 20s; got > 0 && steady_clock::now() < deadline;)
        if (poll(&readable, 1, 100) > 0 && (got = read(pipe_ends[0], buffer, sizeof buffer)) > 0)
            out.append(buffer, static_cast<std::size_t>(got));
    close(pipe_ends[0]);
    const int status = wait_for_child(child, 5s, "a line written after the stall");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(out.substr(out.size() > 23 ? out.size() - 23 : 0), "a line after the stall\n");
}

} // namespace
