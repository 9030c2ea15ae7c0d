// Inside of the port engine; not for callers outside port/.
//
// Each record has one thread (port_reader_main) that alone reads and writes
// its device and runs its operations. Fields marked "thread" are touched by
// that thread only; the rest say which lock guards them.
#pragma once

#include <pthread.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>

#include <atomic>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "port/device.h"
#include "port/grammar.h"
#include "port/port.h"

// The capture area of the running command; its result goes to the port_op.
struct at_response {
    char data[PORT_BUFFER_SIZE];
    int32_t length;
    char matched_flag[END_FLAG_SIZE];
};

// An answer the port is still owed by a command that no longer waits for it.
struct owed_answer {
    end_flag_list flags;   // what its final result line looks like, besides the modem's own
    command_traits traits; // which lines of its answer look unsolicited but are its own
    uint32_t seq;          // the command_seq of the command that owes it
    bool late;             // a timed-out command's (its lines are published as late)
    // An answer that may never come: the acknowledgement of an ESC (not
    // every modem sends one), or the answer of a command that timed out
    // after a line paid an older debt (that line may have been its own).
    // Dropped when the port's settle time passes unpaid.
    bool provisional;
    // Its command's echo came: the modem read it, and lines after that echo
    // may be its answer. While echo is on, no line pays a debt before that.
    bool echoed;
    int8_t echo_after; // what its OK does to echo (echo_setting_of), -1 nothing
};

// A command line written to the device, whose echo has not come yet.
struct written_line {
    std::string text; // blanks trimmed
    uint32_t seq;     // the command that started it
    bool expected;    // written while echo was on: it not coming means it was not read
    // Lines written with no echo setting, restart or reopen between them
    // share an epoch: a modem that echoes one would have echoed the other.
    uint32_t epoch;
};

constexpr uint32_t EPOCH_OTHER_RECORD = UINT32_MAX; // a line another record wrote

// Whether the modem echoes the command lines it reads. Known from what was
// written and seen: unknown after an open, until the first answer.
enum echo_mode : uint8_t { ECHO_UNKNOWN, ECHO_ON, ECHO_OFF };

// The node a device was opened through. A device number made anew (a USB
// modem that reset and came back as ttyUSB2 again, a new pseudo-terminal
// under a freed number) gets a node of its own: another inode, or the
// same number with a new change time.
struct node_stamp {
    dev_t dev;
    ino_t ino;
    timespec ctime;
};
// The same node: a device made anew has a new one, though its number may
// be that of the old.
bool same_node_stamp(const node_stamp &a, const node_stamp &b);

// Answers owed on a device whose record was closed, kept for the next record
// that opens the same device (st_rdev) within OWED_KEEP_MS; and a fragment
// of a command line left at it, which waits at the modem for as long as
// nothing ends it.
struct stashed_debts {
    std::deque<owed_answer> owed;
    int64_t until_ms;
    bool fragment_out;
    int64_t settle_until; // see port_entry; 0 for none
    // The start of a line the modem had not finished: its end comes to the
    // next record, and a final result cut in two must still pay.
    std::string unfinished_line;
    text_state text;
    // The node they were made on: a device made anew since owes nothing.
    node_stamp node;
    // A prompt given up on, not yet seen: it may come to the next record,
    // or have come while no record read the device. The debts owed from
    // the command that gave it up are numbered 1, the older ones 0, those
    // of the commands written after it 2.
    bool prompt_abandoned;
    // The command lines written whose echo had not come: it may come to the
    // next record, and tell which of the debts the modem read.
    std::deque<written_line> unechoed;
};
constexpr int64_t OWED_KEEP_MS = 3 * 60 * 1000; // long enough for an operator scan

// Where the running command stands.
enum command_phase {
    PHASE_IDLE,
    PHASE_WRITING,      // the command's bytes are draining into the line
    PHASE_WAIT_PROMPT,  // written; waiting for "> " before sending the data
    PHASE_WRITING_DATA, // the data and Ctrl-Z are draining
    PHASE_WAIT_FINAL,   // waiting for an end flag
};

// Requests for a port's thread, set from any thread with port_poke.
enum : uint32_t {
    POKE_QUEUE = 1 << 0, // an operation was queued
    POKE_CHECK = 1 << 1, // the monitor's examination is due
    POKE_GONE = 1 << 2,  // the node was removed
    POKE_BACK = 1 << 3,  // the node appeared
    POKE_QUIT = 1 << 4,  // the record is being retired, or the engine stops
};

struct port_entry {
    char path[PORT_PATH_MAX];
    port_engine *engine;
    port_entry *next; // registry_lock

    // What other threads read ("list", other ports' open). Written by the
    // port's thread only, under state_lock.
    pthread_mutex_t state_lock;
    int32_t fd; // open while >= 0
    dev_t rdev; // of the open device, to refuse a second record for it
    port_settings settings;
    std::vector<std::string> unsolicited;     // the port's own unsolicited-line prefixes
    std::vector<port_other_user> other_users; // other holders of the device, at the last look
    // 32 bits, so that a 32-bit router core updates them without a lock.
    std::atomic<uint32_t> last_check;      // wall clock seconds, reported by "list"
    std::atomic<uint32_t> last_check_mono; // engine_seconds(), drives the interval
    int32_t check_interval;

    // Pending operations; `running` counts the one in progress.
    pthread_mutex_t queue_lock;
    std::deque<port_op *> queue;
    std::atomic<bool> running; // read under queue_lock by submitters
    // Thread: the queue was left empty at the last look, and nothing was
    // queued since (each submitter's POKE_QUEUE, and the thread's own
    // pushes, say otherwise): it needs no look before then.
    bool queue_drained;

    pthread_t reader;
    bool has_reader;
    int wake_fd; // eventfd: pokes and queued work
    std::atomic<uint32_t> pokes;

    // Thread: line assembly and the running command.
    char line_buffer[PORT_BUFFER_SIZE];
    int32_t line_length;
    at_response capture;
    bool capture_truncated; // a chunk did not fit: nothing later is captured
    const char *chunk;      // the chunk being cut into lines, while it is
    int chunk_size;
    size_t line_tail;   // bytes of that chunk behind the line being judged
    bool line_cr_ended; // that line is an echo ended by its CR alone
    bool skip_lf;       // the last byte ended such a line: an LF next is its
    text_state text;    // a message or USSD text under way, by the header before it
    // V.250 framing: an information line, then an empty line, then the
    // final result. Seen once, texts run to their empty line.
    bool framing;
    bool after_info;
    bool blank_after_info;
    // Echo: the command lines written and not echoed yet, the line being
    // written, and whether the modem takes message text (after a prompt
    // command's CR, up to Ctrl-Z or ESC).
    echo_mode echo;
    std::deque<written_line> unechoed;
    uint32_t echo_epoch;
    std::string write_line;
    std::string spare_text; // storage of an echoed line, for the next one
    // Where echo_pending found the line being cut: its place in `unechoed`
    // and its text's length, or SIZE_MAX.
    size_t pending_at = SIZE_MAX;
    size_t pending_length;
    uint32_t write_line_seq;
    bool write_text;
    bool prompt_echo;    // '>' lines are the echo of prompt text
    uint32_t prompt_seq; // the command whose line prompted
    bool echo_seen;      // the running command's echo came: its answer may start
    // The modem restarted after it read every line of the running command:
    // it answers none of them.
    bool running_forgotten;
    std::string anchor; // that echo line, kept at the head of its capture
    end_flag_list end_flags;
    bool end_flags_default; // end_flags holds the default list
    int32_t waiting;        // 1 while a command awaits an end flag
    port_op *current;
    port_op *batch;        // a batch whose next step is due
    command_traits traits; // of the running command's bytes, once needed
    bool traits_known;
    uint32_t command_seq; // counts the commands written, the running one last
    command_phase phase;
    timespec mono_start;
    int64_t deadline_ms; // monotonic; the command's wait ends here
    std::string out;     // bytes still to write
    size_t out_done;
    // What the command lines written from `out` do to echo (the last of
    // them that sets it: 0 off, 1 on; -1 none), noted as each is written.
    int8_t out_echo_setting = -1;
    int64_t write_deadline_ms;
    bool write_waited; // the line made the write wait: time went by since it began

    // Thread: answers owed by commands that stopped waiting, and the lines
    // received for a waiting command since the last final result line
    // (published as late if an owed answer turns out to end among them).
    std::deque<owed_answer> owed;
    dev_t owed_rdev;      // the device the debts were made on, kept across a close
    node_stamp owed_node; // and the node it was opened through
    // What the record owed went to the stash when it lost its device; until
    // it opens one again it has nothing newer, and stashing again (its
    // "close") would replace those debts, or another record's, with less.
    bool stashed_since_open;
    int answers_due; // final results the running command's bytes ask for
    int finals_own;  // the modem's final results seen while it waits
    bool paid_debt;  // a line paid an older debt while it waited
    // Its own line, not yet echoed, is the same as an older one whose echo
    // came while it waited: that echo may have been its own.
    bool echo_doubt;
    int64_t settle_until; // monotonic ms: the next operation waits this long for a provisional answer
    std::deque<std::string> window;
    // A command with prompt data gave up waiting for its "> ": a prompt that
    // comes later is that command's, and takes whatever was written since
    // as message text.
    bool prompt_abandoned;
    uint32_t abandoned_seq;
    bool swallowed; // the running command's bytes went into such a text
    // A prompt left open on purpose (a send-only prompt command, or a wait
    // that stopped at "> "): the port waits for the same client's text
    // until this time (monotonic ms), then ends the prompt with ESC.
    int64_t prompt_hold_until; // 0 for none
    uint32_t prompt_hold_peer;
    // A command whose write was given up may have left a fragment of its
    // line at the modem: the next command is preceded by a CR that ends it.
    // Set until that CR is out.
    bool fragment_out;

    // Thread: a line longer than the line buffer is cut; the rest of it, up
    // to its CR LF, is dropped.
    bool line_nul; // NUL bytes may be in the line buffer
    bool line_overflow;
    bool overflow_cr; // the last byte dropped was a CR
    // The line under way was begun before the record wrote anything (it was
    // in what the device held at the open): it is nobody's answer. Cleared
    // once that line has been judged.
    bool line_before_open;
    uint32_t lines_cut;
    int64_t cut_report_ms;

    // Thread: reopening after the node appeared, retried for a while.
    int retries_left;
    int64_t retry_at_ms;
    bool reopen_announced;

    // The hardware behind the path since its first open (empty for none),
    // which a repair reopens only if it is still there; an "open" takes
    // whatever is there now. Written by the thread under state_lock.
    std::string identity;
    bool identity_known;
    bool replaced_reported; // the path was found to lead elsewhere: said once

    // A port named by its hardware (usb:...): each open finds the node of
    // its interface anew. Set when the record is made.
    bool by_hardware;
    usb_name hardware_name;
    // The node opened last: the path, or the one found for the hardware.
    // Written by the thread under state_lock.
    std::string node;

    // Init commands (port/init.cpp): run after every open and after a
    // start-up line, as the engine's own batch at the head of the queue.
    // The list is written by the thread under state_lock, the rest is the
    // thread's.
    std::vector<std::string> init;
    bool init_due;                  // a round is due: the port was opened, the modem restarted
    port_op *init_op;               // the engine's batch, queued or running
    std::vector<size_t> init_steps; // the index in `init` of each of its steps
    struct init_retry {
        size_t index; // in `init`
        int failures;
        std::string status; // of the last failure
    };
    std::vector<init_retry> init_retries;
    int64_t init_retry_at_ms;
    int64_t init_spent_ms; // time init commands held the port, since a round all went well

    // Thread: the port's share of the event rate.
    double tokens;
    int64_t tokens_ms;
    uint32_t dropped;
    // outbox.lock: lines of this port in the outbox.
    int backlog;
    uint64_t lines_published; // written under outbox.lock by the port's thread
};

struct port_engine {
    pthread_mutex_t registry_lock;
    port_entry *ports;
    // Checking that no other record has a device open and opening it are one
    // step, so two spellings of one path cannot both win.
    pthread_mutex_t open_lock;
    std::atomic<bool> stopping;
    size_t pending_arg_bytes;               // event-loop thread only
    int64_t mono_origin;                    // mono_seconds() at creation; set before any thread
    std::map<dev_t, stashed_debts> stashed; // open_lock
    std::set<dev_t> refused;                // open_lock: devices no port opens
    std::string sysfs_root = "/sys";        // where device classes are looked up; tests point it elsewhere
    std::string dev_root = "/dev";          // where the nodes of ports named by hardware are; tests too
    int64_t init_retry_ms = 5000;           // between the tries of an init command that failed; tests shorten it
    // Devices whose modem was seen to frame its texts, with the node they
    // were seen on: a "close" and "open" ask the same modem, which frames as
    // it did, while a device made anew may be another modem. Under open_lock.
    std::map<dev_t, node_stamp> framing_seen;
    // Bytes a device has not sent yet (TIOCOUTQ); tests stand in for a
    // stalled line, which no pseudo-terminal can be.
    int (*output_queued)(int fd);

    struct {
        pthread_mutex_t lock;
        std::deque<outbox_item> items;
        int wake_fd;
        double tokens; // the engine-wide share of the event rate
        int64_t tokens_ms;
    } outbox;

    struct {
        pthread_t thread;
        bool started;
        bool stop; // lock
        pthread_mutex_t lock;
        pthread_cond_t cond;
        uint32_t other_users_at; // engine_seconds() of the last look for other holders
    } monitor;

    struct hotplug_watch {
        int wd;
        int refs;
    };
    struct {
        pthread_t thread;
        bool started;
        int inotify_fd;
        int wake_fd;
        pthread_mutex_t lock;
        std::map<std::string, hotplug_watch> by_dir; // refs: records in that directory
        std::map<int, int> wd_refs;                  // directories sharing a watch
        std::set<std::string> warned;
    } hotplug;
};

struct mutex_guard {
    pthread_mutex_t *mutex;
    explicit mutex_guard(pthread_mutex_t *m) : mutex(m) { pthread_mutex_lock(mutex); }
    ~mutex_guard() { pthread_mutex_unlock(mutex); }
    mutex_guard(const mutex_guard &) = delete;
    mutex_guard &operator=(const mutex_guard &) = delete;
};

// Monotonic clock: immune to wall-clock steps, so waits neither end early
// nor stretch when the router's time is set.
timespec mono_now();
int64_t mono_seconds();
// Monotonic seconds since the engine was created: wraps after 136 years.
uint32_t engine_seconds(const port_engine *engine);
int64_t mono_ms();
inline int64_t mono_ms_of(const timespec &t)
{
    return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}
int64_t mono_ms_between(const timespec &start, const timespec &end);
void cond_init_monotonic(pthread_cond_t *cond);
timespec mono_deadline(int64_t seconds);

// Line setup (port's thread). Why an open failed, for the console.
struct open_failure {
    // NOT_SERIAL: no modem's port, or a terminal a session holds; no record
    // is kept for either. REPLACED: the path leads to other hardware now;
    // said on the console and published once, when it is found.
    // AMBIGUOUS: a name of hardware that more than one interface matches.
    enum { NONE, MISSING, OPEN_ERROR, NOT_SERIAL, IN_USE, REPLACED, AMBIGUOUS } kind = NONE;
    int err = 0;
    bool controlling = false;       // NOT_SERIAL: the terminal is a session's controlling terminal
    char other[PORT_PATH_MAX] = {}; // IN_USE: the record that has the device
    std::vector<std::string> nodes; // AMBIGUOUS: the nodes found
};
// What a failed open tells its caller instead of the method's own failure;
// nullptr for that.
const char *open_refusal(const open_failure &why);
// The node a port's name leads to now: its path, or the one terminal of the
// interface it names. False (why filled in) when a name of hardware finds
// none (MISSING) or several (AMBIGUOUS).
bool port_lookup_node(const port_entry *entry, std::string *node, open_failure *why);
// Whether the port's node is there (for a name of hardware: any terminal
// of its interface).
bool port_node_present(const port_entry *entry);
// With new_identity (the "open" method) the port takes the hardware it
// finds; otherwise it opens only the hardware it had.
int port_open(port_entry *entry, const port_settings &settings, open_failure *why, bool new_identity = false);
// Output the device has not sent is waited for at most drain_max_ms; a
// line that stops taking it is let go sooner.
constexpr int OUTPUT_DRAIN_MAX_MS = 500;
void port_close(port_entry *entry, int drain_max_ms = OUTPUT_DRAIN_MAX_MS);
int tty_output_queued(int fd);
// Closes a descriptor the record no longer has (port_drop_descriptor).
void port_close_detached(port_engine *engine, int fd, int drain_max_ms = OUTPUT_DRAIN_MAX_MS);
// Forgets a descriptor that is no longer ours, without closing the number.
void port_drop_descriptor(port_entry *entry);
// Empties the line buffer.
void line_reset(port_entry *entry);
// The device's byte stream is over (hung up, failed): its unfinished line
// and the answers owed on it go too.
void port_forget_stream(port_entry *entry);
// Applies the requested framing and raw mode to attributes read from the
// device; every flag not named keeps its value.
void line_attributes(termios *tio, int32_t baudrate, int32_t databits, int32_t parity, int32_t stopbits);
port_settings saved_settings(const port_entry *entry);

// A record outside the registry and without its thread (the registry adds
// both); tests and fuzzers drive such a record's reading by hand.
port_entry *port_entry_alloc(port_engine *engine, const char *path);
void port_entry_free(port_entry *entry);

// The port's thread and what it does. Joining asks it to end first; one that
// has ended already is simply joined.
void *port_reader_main(void *entry);
void port_join_thread(port_entry *entry);
// Retires every record, joining threads still running.
void registry_destroy_all(port_engine *engine);
// Closes the devices of records whose threads have ended, all at once.
void registry_close_all(port_engine *engine, int drain_max_ms);
void port_poke(port_entry *entry, uint32_t what);
void port_finish_op(port_entry *entry, port_op *op);
// An operation started too early goes back to the head of the queue.
void port_requeue_op(port_entry *entry, port_op *op);

// End flags, for a line of known length and final result code.
bool end_flag_match_line(const end_flag_list *list, const char *line, size_t length, uint8_t code, char *matched);

// Reading: everything done with one chunk read from the device (capture,
// line assembly, end flags, owed answers, unsolicited lines, the prompt).
void port_process_chunk(port_entry *entry, const char *chunk, int n);
// The unfinished line is a "> " prompt (with text typed after it, perhaps).
bool line_holds_prompt(const port_entry *entry);
// Reads what the device has; gives the port up on an error or hang-up.
void port_read_ready(port_entry *entry, short revents);
// Reads what a device just opened already holds, before anything is written.
void port_read_backlog(port_entry *entry);
// The device failed under us: closed, the waiting command ended, reported.
void port_fail(port_entry *entry, const char *reason);

// The command transaction ("sendat"), driven by the port's thread.
// True when the operation finished the record (a path that is no port).
bool at_start(port_entry *entry, port_op *op);
void at_write_ready(port_entry *entry);
void at_tick(port_entry *entry, int64_t now_ms); // deadlines
void at_line_final(port_entry *entry, const char *matched, bool modem_final);
// After an ESC or a doubtful timeout, the next operation waits until this
// returns false.
bool at_settling(port_entry *entry, int64_t now_ms);
void at_prompt_seen(port_entry *entry);
// What the running command's bytes (still in `out`) say about its answer.
const command_traits &command_traits_now(port_entry *entry);
// A "> " after a command with prompt data gave up waiting for it.
void at_late_prompt(port_entry *entry);
// A record that took over a prompt given up on, once its device is open.
void at_cancel_adopted_prompt(port_entry *entry);
// Ends with ESC a "> " found in what the device held at its open.
void at_end_found_prompt(port_entry *entry);
// A prompt held open for one client: whether `op` may run now; and the
// hold's end (ESC) once its time is over.
bool at_held_for(const port_entry *entry, const port_op *op);
void at_hold_tick(port_entry *entry, int64_t now_ms);
// Before the next command: ends a fragment a given-up write left behind.
void at_end_fragment(port_entry *entry);
// The port was closed under the running command: it ends as a timeout, and
// leaves its answer owed if `owes` (the device may still send it).
void at_port_closed(port_entry *entry, bool owes);
// The daemon stops: the running operation ends now, nothing more is written
// but the ESC that takes a modem out of an unfinished prompt.
void at_abort(port_entry *entry);
// Before the descriptor goes under a command at its prompt: ESC, if the
// device still takes it.
void at_cancel_prompt(port_entry *entry);
// Milliseconds until the running command needs the thread, -1 for none.
int64_t at_next_wake_ms(const port_entry *entry, int64_t now_ms);
void capture_arm(port_entry *entry);

// Owed answers.
// `count` answers owed by the running command (or the one that just ended),
// ended by `flags` or the modem's own final results.
void owed_add(port_entry *entry, const end_flag_list &flags, bool late, int count, bool provisional = false);
void owed_push(port_entry *entry, const owed_answer &debt);
// How many commands the modem runs for these bytes: one per CR that ends
// a non-blank command line.
int commands_in(const std::string &bytes);
void owed_send_only(port_entry *entry, const std::string &text);
// The commands written since the command numbered `seq` went into message
// text: their answers are not coming.
void owed_drop_after(port_entry *entry, uint32_t seq);
// The command whose answer is due first: the oldest owed, else the waiting
// one; nullptr when none is.
const command_traits *owed_judge(port_entry *entry);
void owed_reset(port_entry *entry);
// A record's debts go with its device when it is closed, and come back to
// the next record that opens that device. Both run under open_lock.
// owed_adopt returns true when the record took over a prompt given up on.
void owed_stash(port_entry *entry);
bool owed_adopt(port_entry *entry);
// A record new to a device starts out knowing what the last one learnt of
// how its modem frames (owed_stash keeps it): a text in a late answer, or in
// the first message delivered after a "close" and "open", runs to its empty
// line as before. Under open_lock.
void framing_recall(port_entry *entry);
// Provisional answers that did not come within the settle time.
void owed_drop_provisional(port_entry *entry);
bool owed_has_provisional(const port_entry *entry);
// True when the line paid the oldest owed answer; it and the lines set aside
// with it have been published, and the waiting command's text starts after.
// `modem_final`: the line is one of the modem's own final results.
bool owed_pay(port_entry *entry, const char *line, size_t length, size_t tail, bool modem_final);
void owed_remember(port_entry *entry, const char *line);
// A wait ends while an older answer is still coming: what was set aside
// for it is published now, and none of it is the waiting command's.
void owed_release_window(port_entry *entry);
// The wait is over, or starts again: what was set aside goes. Lines are
// set aside only while an older answer is owed, so mostly there are none.
inline void owed_forget_window(port_entry *entry)
{
    if (!entry->window.empty())
        entry->window.clear();
}
bool owed_late(const port_entry *entry);

// Echo (port/echo.cpp). Bytes as they are written; a line read that is the
// echo of one (true: never published, never anyone's answer line).
void echo_written(port_entry *entry, const char *bytes, size_t n);
bool echo_take(port_entry *entry, const char *line, size_t length);
// Whether a line would be an echo. Nothing changes but a note of where it
// was found, which echo_take of the same line then uses once.
bool echo_pending(port_entry *entry, const char *line, size_t length);
inline void echo_forget_pending(port_entry *entry)
{
    entry->pending_at = SIZE_MAX;
}
// The command now starting continues a line left open at the modem.
void echo_line_continued(port_entry *entry);
// A final result of the command numbered seq.
void echo_answered(port_entry *entry, uint32_t seq);
// An OK to a command that turns echo off (0) or on (1).
void echo_set(port_entry *entry, int setting);
// After an open: unknown until the first answer.
void echo_reset(port_entry *entry);
// The same device opened again: echo unknown, the lines written kept.
void echo_reopened(port_entry *entry);
// A start-up line: the modem forgot every command it had read.
void echo_modem_restarted(port_entry *entry);
// The waiting command's capture starts again at this line (its echo).
void capture_restart_at(port_entry *entry, const char *line, size_t length);

// Events: admitted under the rate limits and queued for the event loop.
void emit_line(port_entry *entry, const char *line, bool late);
void emit_state(port_entry *entry, const char *reason);
void outbox_push_op(port_engine *engine, port_op *op);

// Init commands (port/init.cpp), on the port's thread. Before the next
// operation is taken: queues a round or a retry that is due, at the head.
void init_schedule(port_entry *entry, int64_t now_ms);
// Whether init_schedule has anything to do: a round due or retries kept,
// and no round queued already. Usually not, and then it need not be called.
inline bool init_pending(const port_entry *entry)
{
    return !entry->init_op && (entry->init_due || !entry->init_retries.empty());
}
// Whether an operation that just opened the port waits for its init round.
bool init_waiting(const port_entry *entry);
// An "open" succeeded: its list, if it brought one, replaces the port's,
// and the init commands get their full time again.
void init_opened(port_entry *entry, port_op *open);
// A step of the engine's batch ended; the batch ended (false: not ours).
void init_step_done(port_entry *entry, port_op *step);
bool init_batch_done(port_entry *entry, port_op *batch);
// Whether the batch's next step may start (the port is open, time is left);
// sets its timeout.
bool init_step_ready(port_entry *entry, port_op *batch);
// Milliseconds until a retry is due, -1 for none.
int64_t init_next_wake_ms(const port_entry *entry, int64_t now_ms);
// The record goes: its batch, if queued, is dropped.
bool init_is_own(const port_entry *entry, const port_op *op);

// Monitor and hotplug.
void port_check(port_entry *entry);
void port_check_descriptor(port_entry *entry);
void port_node_gone(port_entry *entry);
void port_node_back(port_entry *entry);
void port_retry_reopen(port_entry *entry, int64_t now_ms);
void hotplug_start(port_engine *engine);
void hotplug_stop(port_engine *engine);
void hotplug_watch(port_engine *engine, const char *path);
void hotplug_unwatch(port_engine *engine, const char *path);
// Tries again to watch directories that could not be watched (not there yet).
void hotplug_refresh(port_engine *engine);
// Other processes holding a port's device (port/monitor.cpp): looked for at
// each open, on that port's thread, and for every open port in one walk of
// /proc by the monitor. Each one newly found is said and published.
void other_users_at_open(port_entry *entry, dev_t rdev);
void other_users_pass(port_engine *engine);
void emit_other_user(port_entry *entry, const port_other_user &user);
