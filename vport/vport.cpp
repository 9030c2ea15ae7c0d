// Virtual AT ports (vport/vport.h): the pseudo-terminals, who has them
// open, and the bytes in both directions. Event-loop thread only.
#include "vport/vport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>

#include "core/bus_api.h"
#include "port/command_check.h"

namespace
{

constexpr char BACKSPACE = 0x08, CTRL_Z = 0x1a, ESC = 0x1b;
constexpr size_t INPUT_MAX = COMMAND_MAX + PROMPT_DATA_MAX + 4096; // bytes read, not yet taken
constexpr size_t HELD_LINES_MAX = 64;                              // unsolicited lines waiting for an answer to end
constexpr tcflag_t LINE_FLAGS = ECHO | ECHONL | ICANON | ISIG;

enum input_state { IDLE, GOT_A, LINE, TEXT, SWALLOW };

struct vport {
    uint64_t id = 0;
    std::string name, at_port, link, pty;
    int32_t timeout_s = VPORT_TIMEOUT_S;
    int master = -1, slave = -1; // the slave is held by us
    dev_t rdev = 0;
    int wd = -1;
    int opens = 0; // programs that have the slave open (our own descriptor not counted)
    uloop_fd watch{};

    bool echo = true;
    std::string input; // read, not taken yet (a command of ours runs)
    input_state state = IDLE;
    std::string line;
    bool line_overflow = false;
    std::string prompt_line, text;
    std::string last_line;        // the last line sent to the modem, for A/
    bool busy = false;            // a command of ours is with the port
    bool discard = false;         // its answer is for a program that has gone
    std::deque<std::string> held; // unsolicited lines waiting for an answer to end
    uint32_t dropped = 0;         // writes that did not fit, since last said
    bool flags_said = false;
};

// A command with the port; comes back to on_finished.
struct vport_command {
    port_op op;
    uint64_t vport_id = 0;
};

port_engine *engine = nullptr;
std::string run_dir = VPORT_RUN_DIR;
std::map<uint64_t, std::unique_ptr<vport>> ports; // by id, in the order made
uint64_t next_id = 1;
int inotify_fd = -1;
uloop_fd inotify_watch{};
bool syncing = false;

vport *by_master(int fd)
{
    for (auto &[id, v] : ports)
        if (v->master == fd)
            return v.get();
    return nullptr;
}

vport *by_name(const char *name)
{
    for (auto &[id, v] : ports)
        if (v->name == name)
            return v.get();
    return nullptr;
}

// A program may turn echo or line editing on: the line discipline would
// then echo our own answers back to us as commands.
void keep_raw(vport *v)
{
    termios tio;
    if (tcgetattr(v->slave, &tio) != 0 || !(tio.c_lflag & LINE_FLAGS))
        return;
    tio.c_lflag &= ~LINE_FLAGS;
    (void)tcsetattr(v->slave, TCSANOW, &tio);
    if (!v->flags_said) {
        fprintf(stderr, "Virtual port %s: a program turned on echo or line editing, turned off again\n",
                v->link.c_str());
        v->flags_said = true;
    }
}

void put(vport *v, const std::string &bytes)
{
    if (v->opens <= 0 || bytes.empty())
        return;
    keep_raw(v);
    ssize_t n = write(v->master, bytes.data(), bytes.size());
    if (n == static_cast<ssize_t>(bytes.size())) {
        if (v->dropped) {
            fprintf(stderr, "Virtual port %s: %u writes dropped, the program did not read them\n", v->link.c_str(),
                    v->dropped);
            v->dropped = 0;
        }
        return;
    }
    v->dropped++;
}

void put_result(vport *v, const char *result)
{
    put(v, std::string("\r\n") + result + "\r\n");
}

void flush_held(vport *v)
{
    std::string all;
    for (const std::string &line : v->held)
        all += "\r\n" + line + "\r\n";
    v->held.clear();
    put(v, all);
}

bool in_answer(const vport *v)
{
    return v->busy || v->state == TEXT || v->state == SWALLOW;
}

std::string squeezed_upper(const std::string &line)
{
    std::string out;
    for (char c : line)
        if (c != ' ')
            out += static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return out;
}

void on_finished(port_op *op);

void submit(vport *v, const std::string &command, const std::string *data)
{
    port_entry *entry = port_find(engine, v->at_port.c_str());
    if (!entry || !port_is_open(entry) || port_engine_stopping(engine)) {
        put_result(v, "ERROR");
        flush_held(v);
        return;
    }
    auto *c = new vport_command();
    c->vport_id = v->id;
    port_op &op = c->op;
    op.kind = OP_SENDAT;
    op.command = command;
    op.timeout = squeezed_upper(command) == "AT+COPS=?" ? VPORT_SCAN_TIMEOUT_S : v->timeout_s;
    op.finals_only = true;
    op.wants_answer = true;
    op.has_data = data != nullptr;
    if (data)
        op.data = *data;
    op.finished = on_finished;
    op.owner = c;
    op.arg_bytes = v->at_port.size() + op.command.size() + op.data.size();
    if (!port_submit(entry, &op)) {
        delete c;
        put_result(v, "ERROR");
        flush_held(v);
        return;
    }
    v->busy = true;
    v->discard = false;
    v->last_line = command;
}

void run_line(vport *v, const std::string &line, bool overflow)
{
    if (overflow) {
        put_result(v, "ERROR");
        return;
    }
    int echo;
    std::string rest = vport_take_echo(line, &echo);
    bool empty = rest.find_first_not_of(" ;", 2) == std::string::npos;
    if (echo >= 0 && empty) {
        v->echo = echo == 1;
        put_result(v, "OK");
        return;
    }
    if (command_check(rest.data(), rest.size()) != COMMAND_ACCEPTED || command_data_dial(rest.data(), rest.size())) {
        put_result(v, "ERROR");
        return;
    }
    if (echo >= 0)
        v->echo = echo == 1;
    if (command_prompts(rest.data(), rest.size())) {
        v->prompt_line = rest;
        v->text.clear();
        v->state = TEXT;
        put(v, "\r\n> ");
        return;
    }
    submit(v, rest, nullptr);
}

void echo_byte(vport *v, char c)
{
    if (v->echo)
        put(v, std::string(1, c));
}

// One byte the program wrote; a command line or text may end at it.
void take_byte(vport *v, char c)
{
    switch (v->state) {
    case IDLE:
        if (c == 'A' || c == 'a') {
            echo_byte(v, c);
            v->line.assign(1, c);
            v->state = GOT_A;
        }
        break;
    case GOT_A:
        echo_byte(v, c);
        if (c == 'T' || c == 't') {
            v->line += c;
            v->line_overflow = false;
            v->state = LINE;
        } else if (c == '/') {
            v->state = IDLE;
            if (v->last_line.empty())
                put_result(v, "ERROR");
            else
                run_line(v, v->last_line, false);
        } else if (c == 'A' || c == 'a') {
            v->line.assign(1, c);
        } else {
            v->state = IDLE;
        }
        break;
    case LINE:
        echo_byte(v, c);
        if (c == '\r' || c == '\n') {
            v->state = IDLE;
            run_line(v, v->line, v->line_overflow);
        } else if (c == BACKSPACE) {
            v->line.pop_back();
            if (v->line.size() < 2)
                v->state = GOT_A;
        } else if (v->line.size() < COMMAND_MAX) {
            v->line += c;
        } else {
            v->line_overflow = true;
        }
        break;
    case TEXT:
        if (c == CTRL_Z) {
            v->state = IDLE;
            submit(v, v->prompt_line, &v->text);
        } else if (c == ESC) {
            v->state = IDLE;
            put_result(v, "OK");
            flush_held(v);
        } else {
            echo_byte(v, c);
            if (c == BACKSPACE) {
                if (!v->text.empty())
                    v->text.pop_back();
            } else if (v->text.size() < PROMPT_DATA_MAX) {
                v->text += c;
            } else {
                v->state = SWALLOW;
                put_result(v, "ERROR");
            }
        }
        break;
    case SWALLOW:
        if (c == CTRL_Z || c == ESC) {
            v->state = IDLE;
            flush_held(v);
        }
        break;
    }
}

void take_input(vport *v)
{
    size_t i = 0;
    while (i < v->input.size() && !v->busy)
        take_byte(v, v->input[i++]);
    v->input.erase(0, i);
}

void read_master(vport *v)
{
    char buf[4096];
    ssize_t n;
    while ((n = read(v->master, buf, sizeof buf)) > 0) {
        size_t room = INPUT_MAX - std::min(INPUT_MAX, v->input.size());
        v->input.append(buf, std::min<size_t>(room, static_cast<size_t>(n)));
    }
    keep_raw(v);
    take_input(v);
}

// The last program closed the slave: nothing of its session reaches the next.
void went_idle(vport *v)
{
    read_master(v);
    (void)tcflush(v->slave, TCIFLUSH);
    v->input.clear();
    v->held.clear();
    v->state = IDLE;
    v->line.clear();
    v->text.clear();
    v->discard = v->busy;
}

// Opens and closes of the slaves since the last look.
void sync_opens()
{
    if (syncing || inotify_fd < 0)
        return;
    syncing = true;
    alignas(inotify_event) char buf[4096];
    ssize_t n;
    while ((n = read(inotify_fd, buf, sizeof buf)) > 0) {
        for (char *at = buf; at < buf + n;) {
            auto *e = reinterpret_cast<inotify_event *>(at);
            at += sizeof(inotify_event) + e->len;
            for (auto &[id, v] : ports) {
                if (v->wd != e->wd)
                    continue;
                if (e->mask & IN_OPEN)
                    v->opens++;
                if ((e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) && v->opens > 0 && --v->opens == 0)
                    went_idle(v.get());
            }
        }
    }
    syncing = false;
}

void on_inotify(uloop_fd *, unsigned int)
{
    sync_opens();
}

void on_master(uloop_fd *u, unsigned int)
{
    // Bytes come from a program that has the slave open: its open is
    // counted before they are taken.
    sync_opens();
    if (vport *v = by_master(u->fd))
        read_master(v);
}

// The answer the program reads: the lines after its command's echo (after
// its text, for a prompt command).
std::string answer_of(const port_op &op)
{
    std::string answer = op.answer;
    if (op.has_data) {
        // The prompt and the text's echo were the port's own to give.
        size_t at = 0, cut = 0;
        for (size_t end; (end = answer.find("\r\n", at)) != std::string::npos; at = end + 2)
            if (answer.compare(at, 1, ">") == 0)
                cut = end + 2;
        answer.erase(0, cut);
    }
    return answer;
}

// A modem that frames as V.250 does sends a CR LF before its answer; one
// that does not gets one, so the answer starts on a line of its own.
std::string framed(const std::string &answer)
{
    if (answer.empty() || answer.starts_with("\r\n"))
        return answer;
    return "\r\n" + answer;
}

void on_finished(port_op *op)
{
    std::unique_ptr<vport_command> c(static_cast<vport_command *>(op->owner));
    auto found = ports.find(c->vport_id);
    if (found == ports.end())
        return;
    vport *v = found->second.get();
    v->busy = false;
    if (!v->discard) {
        if (op->refusal || op->outcome == AT_SEND_FAILED)
            put_result(v, "ERROR");
        else if (op->outcome == AT_TIMED_OUT)
            put(v, framed(answer_of(*op)) + "\r\nERROR\r\n");
        else
            put(v, framed(answer_of(*op)));
    }
    v->discard = false;
    flush_held(v);
    take_input(v);
}

void destroy(vport *v)
{
    if (v->watch.registered)
        uloop_fd_delete(&v->watch);
    if (v->wd >= 0)
        inotify_rm_watch(inotify_fd, v->wd);
    if (!v->link.empty())
        unlink(v->link.c_str());
    if (v->rdev)
        port_refuse_device(engine, v->rdev, false);
    if (v->slave >= 0)
        close(v->slave);
    if (v->master >= 0)
        close(v->master);
}

void remove_where(bool (*match)(const vport &, const void *), const void *arg)
{
    for (auto it = ports.begin(); it != ports.end();) {
        if (match(*it->second, arg)) {
            destroy(it->second.get());
            it = ports.erase(it);
        } else {
            ++it;
        }
    }
}

bool valid_name(const char *name)
{
    size_t length = strlen(name);
    if (length == 0 || length > VPORT_NAME_MAX)
        return false;
    for (const char *c = name; *c; c++)
        if (!isalnum(static_cast<unsigned char>(*c)) && *c != '-' && *c != '_')
            return false;
    return true;
}

// The pseudo-terminal, in the order its contract gives.
bool make_pty(vport *v, long gid)
{
    v->master = posix_openpt(O_RDWR | O_NOCTTY);
    if (v->master < 0)
        return false;
    (void)fcntl(v->master, F_SETFD, FD_CLOEXEC);
    char name[64];
    if (ptsname_r(v->master, name, sizeof name) != 0)
        return false;
    v->pty = name;
    if (chown(name, geteuid(), gid >= 0 ? static_cast<gid_t>(gid) : getegid()) != 0 ||
        chmod(name, gid >= 0 ? 0660 : 0600) != 0 || unlockpt(v->master) != 0)
        return false;
    v->slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    termios tio;
    if (v->slave < 0 || fstat(v->slave, &st) != 0 || tcgetattr(v->slave, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    if (tcsetattr(v->slave, TCSANOW, &tio) != 0)
        return false;
    v->rdev = st.st_rdev;
    port_refuse_device(engine, v->rdev, true);
    (void)fcntl(v->master, F_SETFL, fcntl(v->master, F_GETFL) | O_NONBLOCK);
    // Watched after our own open: only the programs' opens are counted.
    v->wd = inotify_add_watch(inotify_fd, name, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    if (v->wd < 0)
        return false;
    std::string link = run_dir + "/" + v->name;
    unlink(link.c_str());
    if (symlink(name, link.c_str()) != 0)
        return false;
    v->link = link;
    v->watch.cb = on_master;
    v->watch.fd = v->master;
    return uloop_fd_add(&v->watch, ULOOP_READ) == 0;
}

void empty_run_dir()
{
    DIR *dir = opendir(run_dir.c_str());
    if (!dir)
        return;
    while (dirent *d = readdir(dir))
        if (strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0)
            unlinkat(dirfd(dir), d->d_name, 0);
    closedir(dir);
}

} // namespace

void vport_start(port_engine *e)
{
    engine = e;
    if (const char *dir = getenv("TARNEL_SHARE_DIR"); dir && *dir)
        run_dir = dir;
    if (mkdir(run_dir.c_str(), 0755) != 0 && errno != EEXIST)
        fprintf(stderr, "Cannot make %s: %s\n", run_dir.c_str(), strerror(errno));
    empty_run_dir();
    inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_fd < 0) {
        fprintf(stderr, "Virtual ports unavailable: inotify: %s\n", strerror(errno));
        return;
    }
    inotify_watch.cb = on_inotify;
    inotify_watch.fd = inotify_fd;
    uloop_fd_add(&inotify_watch, ULOOP_READ);
}

void vport_stop()
{
    remove_where([](const vport &, const void *) { return true; }, nullptr);
    if (inotify_fd >= 0) {
        uloop_fd_delete(&inotify_watch);
        close(inotify_fd);
        inotify_fd = -1;
    }
    rmdir(run_dir.c_str());
}

vport_result vport_share(const char *at_port, const char *name, int32_t timeout_s, long gid, vport_made *made)
{
    if (!valid_name(name))
        return VPORT_BAD_NAME;
    if (by_name(name))
        return VPORT_NAME_TAKEN;
    if (inotify_fd < 0)
        return VPORT_FAILED;
    auto v = std::make_unique<vport>();
    v->id = next_id++;
    v->name = name;
    v->at_port = at_port;
    v->timeout_s = timeout_s;
    if (!make_pty(v.get(), gid)) {
        fprintf(stderr, "Failed to share %s as %s: %s\n", at_port, name, strerror(errno));
        destroy(v.get());
        return VPORT_FAILED;
    }
    made->link = v->link;
    made->pty = v->pty;
    printf("Port %s shared as %s (%s)\n", at_port, v->link.c_str(), v->pty.c_str());
    ports.emplace(v->id, std::move(v));
    return VPORT_SHARED;
}

bool vport_unshare(const char *name, std::string *link)
{
    vport *v = by_name(name);
    if (!v)
        return false;
    *link = v->link;
    remove_where([](const vport &p, const void *n) { return p.name == static_cast<const char *>(n); }, name);
    return true;
}

std::vector<std::string> vport_links_of(const char *at_port)
{
    std::vector<std::string> links;
    for (auto &[id, v] : ports)
        if (v->at_port == at_port)
            links.push_back(v->link);
    return links;
}

void vport_event(const port_event &event)
{
    if (event.is_state) {
        if (strcmp(event.reason, "close") == 0)
            remove_where(
                [](const vport &p, const void *path) { return p.at_port == *static_cast<const std::string *>(path); },
                &event.port);
        return;
    }
    if (event.late)
        return;
    for (auto &[id, v] : ports) {
        if (v->at_port != event.port)
            continue;
        if (!in_answer(v.get())) {
            put(v.get(), "\r\n" + event.line + "\r\n");
        } else if (v->held.size() < HELD_LINES_MAX) {
            v->held.push_back(event.line);
        } else {
            v->dropped++;
        }
    }
}
