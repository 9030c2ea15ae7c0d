#include "bench/proc_sample.h"

#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

static int64_t now_ns(clockid_t clock)
{
    timespec ts{};
    if (clock_gettime(clock, &ts) != 0)
        return -1;
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

static std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A field of a /proc status file ("VmRSS:    1234 kB"); -1 when absent.
static int64_t status_field(const std::string &status, const char *name)
{
    size_t at = status.find(std::string("\n") + name + ":");
    if (at == std::string::npos)
        return -1;
    return std::strtoll(status.c_str() + at + strlen(name) + 2, nullptr, 10);
}

// The command name in /proc/PID/stat may hold spaces and parentheses, so the
// fields are counted from the last ')'. utime and stime are fields 14 and 15.
static bool stat_cpu_ticks(pid_t pid, int64_t *ticks)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return false;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    int64_t utime = 0, stime = 0;
    for (int index = 3; index <= 15 && fields >> field; index++) {
        if (index == 14)
            utime = std::stoll(field);
        if (index == 15)
            stime = std::stoll(field);
    }
    *ticks = utime + stime;
    return true;
}

static void sum_threads(pid_t pid, proc_sample *sample)
{
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *tasks = opendir(dir.c_str());
    if (!tasks)
        return;
    while (dirent *task = readdir(tasks)) {
        if (task->d_name[0] == '.')
            continue;
        int64_t switches = status_field(read_file(dir + "/" + task->d_name + "/status"), "voluntary_ctxt_switches");
        if (switches >= 0) {
            sample->voluntary += switches;
            sample->threads++;
        }
    }
    closedir(tasks);
}

proc_sample proc_take(pid_t pid)
{
    proc_sample sample;
    sample.taken_ns = now_ns(CLOCK_MONOTONIC);
    if (!stat_cpu_ticks(pid, &sample.cpu_ticks))
        return sample;
    clockid_t cpu_clock;
    if (clock_getcpuclockid(pid, &cpu_clock) == 0)
        sample.cpu_ns = now_ns(cpu_clock);
    sum_threads(pid, &sample);
    sample.rss_kib = proc_status_kib(pid, "VmRSS");
    sample.ok = sample.threads > 0 && sample.rss_kib >= 0;
    return sample;
}

proc_delta proc_diff(const proc_sample &before, const proc_sample &after)
{
    proc_delta delta;
    delta.seconds = (after.taken_ns - before.taken_ns) / 1e9;
    if (delta.seconds <= 0)
        return delta;
    delta.cpu_ms_ticks = (after.cpu_ticks - before.cpu_ticks) * 1000.0 / sysconf(_SC_CLK_TCK);
    if (before.cpu_ns >= 0 && after.cpu_ns >= 0)
        delta.cpu_ms = (after.cpu_ns - before.cpu_ns) / 1e6;
    delta.wakeups_per_s = (after.voluntary - before.voluntary) / delta.seconds;
    return delta;
}

int64_t proc_status_kib(pid_t pid, const char *field)
{
    return status_field(read_file("/proc/" + std::to_string(pid) + "/status"), field);
}

bool proc_peak_reset(pid_t pid)
{
    std::ofstream out("/proc/" + std::to_string(pid) + "/clear_refs");
    out << "5";
    out.flush();
    return out.good();
}
