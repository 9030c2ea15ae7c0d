// The message methods "sms_list", "sms_delete" and "sms_send". Each reads
// the message format and storages first (one batch), then queues its work
// (a batch that stops at the first step that fails) and right behind it the
// restore of what it changed (a batch that runs every step): queued one
// after the other from the event loop, nothing can come between them.
#include <algorithm>
#include <map>
#include <tuple>

#include "methods/flow.h"
#include "methods/methods.h"
#include "methods/reply.h"
#include "sms/sms_codec.h"

const blobmsg_policy sms_list_policy[SMS_LIST_POLICY_MAX] = {
    {"at_port", BLOBMSG_TYPE_STRING},
    {"storage", BLOBMSG_TYPE_STRING},
};
const blobmsg_policy sms_delete_policy[SMS_DELETE_POLICY_MAX] = {
    {"at_port", BLOBMSG_TYPE_STRING},
    {"indexes", BLOBMSG_TYPE_ARRAY},
    {"storage", BLOBMSG_TYPE_STRING},
};
const blobmsg_policy sms_send_policy[SMS_SEND_POLICY_MAX] = {
    {"at_port", BLOBMSG_TYPE_STRING},
    {"to", BLOBMSG_TYPE_STRING},
    {"text", BLOBMSG_TYPE_STRING},
    {"smsc", BLOBMSG_TYPE_STRING},
};

namespace
{

constexpr int32_t QUERY_TIMEOUT = 5;
constexpr int32_t LIST_TIMEOUT = 30;
constexpr int32_t DELETE_TIMEOUT = 10;
constexpr int32_t PART_TIMEOUT = 120;
constexpr size_t DELETE_MAX = 64;

enum class sms_method { LIST, DELETE, SEND };

struct sms_flow {
    flow_request request;
    sms_method method;
    std::string path;
    std::string storage; // named by the caller, "" for the one in use
    std::vector<uint32_t> indexes;
    std::vector<sms_part> parts;

    // What the first batch read.
    std::string cpms_read; // +CPMS: "SM",1,30,"SM",1,30,"SM",1,30
    // The work and the restore.
    size_t setup_steps = 0; // format and storage before the work's own steps
    port_op work, restore;
    bool has_restore = false;
    int pending = 0;
    bool queueing = false;
};

uint8_t next_reference = 1;

// The comma-separated fields of a +CPMS answer, quotes taken off.
std::vector<std::string> fields(const std::string &text)
{
    std::vector<std::string> out(1);
    bool quoted = false;
    for (char c : text) {
        if (c == '"')
            quoted = !quoted;
        else if (c == ',' && !quoted)
            out.emplace_back();
        else if (c != ' ' || quoted)
            out.back() += c;
    }
    return out;
}

int number(const std::string &text)
{
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stoi(text);
}

void reply_and_free(sms_flow *flow, blob_buf *b)
{
    flow_answer(&flow->request, b);
    delete flow;
}

void fail(sms_flow *flow, const std::string &message, const char *status = "error")
{
    reply_buf r;
    blobmsg_add_string(&r.b, "status", status);
    blobmsg_add_string(&r.b, "message", message.c_str());
    reply_and_free(flow, &r.b);
}

const char *stat_name(int stat)
{
    static const char *const names[] = {"unread", "read", "unsent", "sent"};
    return stat >= 0 && stat < 4 ? names[stat] : "unknown";
}

struct listed {
    int index;
    int stat;
    std::string pdu;
    sms_message message;
};

// +CMGL: <index>,<stat>,[<alpha>],<length> followed by the PDU's line.
std::vector<listed> parse_listing(const port_op &step)
{
    std::vector<listed> out;
    std::vector<std::string> lines = flow_lines(step);
    for (size_t i = 0; i < lines.size(); i++) {
        if (!lines[i].starts_with("+CMGL:"))
            continue;
        std::vector<std::string> f = fields(lines[i].substr(6));
        if (f.size() < 2 || i + 1 >= lines.size() || lines[i + 1].starts_with("+CMGL:") || lines[i + 1] == "OK")
            continue;
        listed item{number(f[0]), number(f[1]), lines[i + 1], {}};
        item.message = sms_decode_pdu(item.pdu);
        out.push_back(std::move(item));
        i++;
    }
    return out;
}

void add_message(blob_buf *b, std::vector<const listed *> parts)
{
    const sms_message &first = parts.front()->message;
    void *table = blobmsg_open_table(b, nullptr);
    void *indexes = blobmsg_open_array(b, "indexes");
    for (const listed *p : parts)
        blobmsg_add_u32(b, nullptr, static_cast<uint32_t>(p->index));
    blobmsg_close_array(b, indexes);
    bool unread = std::any_of(parts.begin(), parts.end(), [](const listed *p) { return p->stat == 0; });
    blobmsg_add_string(b, "status", unread ? "unread" : stat_name(parts.front()->stat));
    if (!first.error.empty()) {
        blobmsg_add_string(b, "error", first.error.c_str());
    } else {
        blobmsg_add_string(b, first.kind == sms_kind::DELIVER ? "from" : "to", first.number.c_str());
        if (!first.time.empty())
            blobmsg_add_string(b, "time", first.time.c_str());
        std::string text;
        for (const listed *p : parts)
            text += p->message.text;
        blobmsg_add_string(b, "text", text.c_str());
        size_t total = first.concat.present ? first.concat.total : 1;
        blobmsg_add_u32(b, "parts", static_cast<uint32_t>(parts.size()));
        blobmsg_add_u8(b, "complete", parts.size() == total);
    }
    void *pdus = blobmsg_open_array(b, "pdu");
    for (const listed *p : parts)
        blobmsg_add_string(b, nullptr, p->pdu.c_str());
    blobmsg_close_array(b, pdus);
    blobmsg_close_table(b, table);
}

// Parts of one long message (same kind, number, reference and total) go
// together in order, where the first of them was listed.
void add_messages(blob_buf *b, const std::vector<listed> &items)
{
    using key = std::tuple<int, std::string, uint16_t, uint8_t>;
    std::vector<std::vector<const listed *>> messages;
    std::map<key, size_t> long_ones;
    for (const listed &item : items) {
        const sms_message &m = item.message;
        if (!m.error.empty() || !m.concat.present || m.concat.total < 2) {
            messages.push_back({&item});
            continue;
        }
        key k{int(m.kind), m.number, m.concat.ref, m.concat.total};
        auto [at, fresh] = long_ones.try_emplace(k, messages.size());
        if (fresh) {
            messages.push_back({&item});
            continue;
        }
        std::vector<const listed *> &parts = messages[at->second];
        bool twice = std::any_of(parts.begin(), parts.end(),
                                 [&](const listed *p) { return p->message.concat.seq == m.concat.seq; });
        if (twice)
            messages.push_back({&item}); // another message that chose the same reference
        else
            parts.push_back(&item);
    }
    void *array = blobmsg_open_array(b, "messages");
    for (std::vector<const listed *> &parts : messages) {
        std::stable_sort(parts.begin(), parts.end(), [](const listed *x, const listed *y) {
            return x->message.concat.seq < y->message.concat.seq;
        });
        add_message(b, parts);
    }
    blobmsg_close_array(b, array);
}

// Where a step of the work failed, if one did: its failure.
bool setup_failed(sms_flow *flow)
{
    const port_op &work = flow->work;
    if (work.refusal) {
        fail(flow, work.refusal);
        return true;
    }
    for (size_t i = 0; i < flow->setup_steps; i++) {
        if (i >= work.steps_run || !flow_ok(work.steps[i])) {
            const port_op &step = work.steps[std::min(i, work.steps.size() - 1)];
            fail(flow, i < work.steps_run ? flow_failure(step) : "Daemon is stopping");
            return true;
        }
    }
    return false;
}

void add_restored(sms_flow *flow, blob_buf *b)
{
    if (!flow->has_restore)
        return;
    const port_op &r = flow->restore;
    bool restored = !r.refusal && r.steps_run == r.steps.size() &&
                    std::all_of(r.steps.begin(), r.steps.end(), [](const port_op &s) { return flow_ok(s); });
    if (!restored)
        blobmsg_add_u8(b, "settings_restored", false);
}

void finish_list(sms_flow *flow)
{
    if (setup_failed(flow))
        return;
    const port_op &work = flow->work;
    if (work.steps_run <= flow->setup_steps || !flow_ok(work.steps[flow->setup_steps])) {
        fail(flow,
             work.steps_run > flow->setup_steps ? flow_failure(work.steps[flow->setup_steps]) : "Daemon is stopping");
        return;
    }
    // The storage listed: as chosen (+CPMS: used,total,...), or the one in
    // use (+CPMS: "SM",used,total,...).
    std::vector<std::string> f;
    std::string chosen;
    if (!flow->storage.empty() && flow_line(work.steps[flow->setup_steps - 1], "+CPMS:", &chosen)) {
        f = fields(chosen);
        f.insert(f.begin(), flow->storage);
    } else {
        f = fields(flow->cpms_read);
    }
    std::vector<listed> items = parse_listing(work.steps[flow->setup_steps]);
    reply_buf r;
    blobmsg_add_string(&r.b, "status", "success");
    if (f.size() >= 3 && number(f[1]) >= 0 && number(f[2]) >= 0) {
        void *storage = blobmsg_open_table(&r.b, "storage");
        blobmsg_add_string(&r.b, "name", f[0].c_str());
        blobmsg_add_u32(&r.b, "used", static_cast<uint32_t>(number(f[1])));
        blobmsg_add_u32(&r.b, "total", static_cast<uint32_t>(number(f[2])));
        blobmsg_close_table(&r.b, storage);
    }
    add_messages(&r.b, items);
    add_restored(flow, &r.b);
    reply_and_free(flow, &r.b);
}

void finish_delete(sms_flow *flow)
{
    if (setup_failed(flow))
        return;
    const port_op &work = flow->work;
    reply_buf r;
    std::string failure;
    std::vector<uint32_t> deleted, failed;
    for (size_t i = 0; i < flow->indexes.size(); i++) {
        size_t step = flow->setup_steps + i;
        bool ok = step < work.steps_run && flow_ok(work.steps[step]);
        (ok ? deleted : failed).push_back(flow->indexes[i]);
        if (!ok && failure.empty())
            failure = step < work.steps_run ? flow_failure(work.steps[step]) : "Not tried after a failure";
    }
    blobmsg_add_string(&r.b, "status", failed.empty() ? "success" : "error");
    if (!failed.empty())
        blobmsg_add_string(&r.b, "message", failure.c_str());
    for (auto [name, list] : {std::pair{"deleted", &deleted}, std::pair{"failed", &failed}}) {
        void *array = blobmsg_open_array(&r.b, name);
        for (uint32_t index : *list)
            blobmsg_add_u32(&r.b, nullptr, index);
        blobmsg_close_array(&r.b, array);
    }
    add_restored(flow, &r.b);
    reply_and_free(flow, &r.b);
}

void finish_send(sms_flow *flow)
{
    if (setup_failed(flow))
        return;
    const port_op &work = flow->work;
    std::vector<uint32_t> references;
    const port_op *failed = nullptr;
    for (size_t i = 0; i < flow->parts.size(); i++) {
        size_t step = flow->setup_steps + i;
        std::string ref;
        if (step < work.steps_run && flow_ok(work.steps[step]) && flow_line(work.steps[step], "+CMGS:", &ref) &&
            number(ref) >= 0) {
            references.push_back(static_cast<uint32_t>(number(ref)));
            continue;
        }
        failed = step < work.steps_run ? &work.steps[step] : nullptr;
        break;
    }
    reply_buf r;
    bool sent = references.size() == flow->parts.size();
    if (sent) {
        blobmsg_add_string(&r.b, "status", "success");
    } else if (failed) {
        blobmsg_add_string(&r.b, "status", failed->outcome == AT_TIMED_OUT ? "timeout" : "error");
        blobmsg_add_string(&r.b, "message", flow_failure(*failed).c_str());
    } else {
        add_error(&r.b, "Daemon is stopping");
    }
    blobmsg_add_u32(&r.b, "parts", static_cast<uint32_t>(flow->parts.size()));
    if (!sent)
        blobmsg_add_u32(&r.b, "parts_sent", static_cast<uint32_t>(references.size()));
    void *array = blobmsg_open_array(&r.b, "references");
    for (uint32_t ref : references)
        blobmsg_add_u32(&r.b, nullptr, ref);
    blobmsg_close_array(&r.b, array);
    add_restored(flow, &r.b);
    reply_and_free(flow, &r.b);
}

void finish(sms_flow *flow)
{
    switch (flow->method) {
    case sms_method::LIST: finish_list(flow); break;
    case sms_method::DELETE: finish_delete(flow); break;
    case sms_method::SEND: finish_send(flow); break;
    }
}

void step_back(port_call *call, port_op *into)
{
    sms_flow *flow = static_cast<sms_flow *>(call->flow);
    *into = std::move(call->op);
    call_free(call);
    if (--flow->pending == 0 && !flow->queueing)
        finish(flow);
}

void work_done(port_call *call)
{
    step_back(call, &static_cast<sms_flow *>(call->flow)->work);
}

void restore_done(port_call *call)
{
    step_back(call, &static_cast<sms_flow *>(call->flow)->restore);
}

std::string cpms_command(const std::vector<std::string> &memories)
{
    std::string command = "AT+CPMS=";
    for (size_t i = 0; i < memories.size(); i++)
        command += (i ? ",\"" : "\"") + memories[i] + "\"";
    return command;
}

// The format and storages as found: the work and its restore go out.
void read_done(port_call *call)
{
    sms_flow *flow = static_cast<sms_flow *>(call->flow);
    port_op read = std::move(call->op);
    call_free(call);
    if (read.refusal) {
        fail(flow, read.refusal);
        return;
    }
    std::string format;
    if (read.steps_run < 1 || !flow_ok(read.steps[0]) || !flow_line(read.steps[0], "+CMGF:", &format)) {
        fail(flow, read.steps_run < 1 ? "Daemon is stopping" : "No message format: " + flow_failure(read.steps[0]));
        return;
    }
    bool cpms_known =
        read.steps_run >= 2 && flow_ok(read.steps[1]) && flow_line(read.steps[1], "+CPMS:", &flow->cpms_read);
    std::vector<std::string> memories;
    if (cpms_known) {
        std::vector<std::string> f = fields(flow->cpms_read);
        for (size_t i = 0; i < f.size(); i += 3)
            memories.push_back(f[i]);
    }
    if (!flow->storage.empty() && memories.empty()) {
        fail(flow, "No message storage: " + (read.steps_run >= 2 ? flow_failure(read.steps[1]) : "AT+CPMS?"));
        return;
    }

    std::vector<port_op> steps, restore;
    if (flow->method != sms_method::DELETE && format != "0") {
        steps.push_back(flow_command("AT+CMGF=0", QUERY_TIMEOUT));
        restore.push_back(flow_command("AT+CMGF=" + format, QUERY_TIMEOUT));
    }
    if (!flow->storage.empty() && flow->method != sms_method::SEND) {
        std::vector<std::string> chosen = memories;
        chosen[0] = flow->storage;
        steps.push_back(flow_command(cpms_command(chosen), QUERY_TIMEOUT));
        restore.push_back(flow_command(cpms_command(memories), QUERY_TIMEOUT));
    }
    flow->setup_steps = steps.size();
    switch (flow->method) {
    case sms_method::LIST: steps.push_back(flow_command("AT+CMGL=4", LIST_TIMEOUT)); break;
    case sms_method::DELETE:
        for (uint32_t index : flow->indexes)
            steps.push_back(flow_command("AT+CMGD=" + std::to_string(index), DELETE_TIMEOUT));
        break;
    case sms_method::SEND:
        for (const sms_part &part : flow->parts) {
            port_op step = flow_command("AT+CMGS=" + std::to_string(part.tpdu_length), PART_TIMEOUT);
            step.has_data = true;
            step.data = part.pdu;
            steps.push_back(std::move(step));
        }
        break;
    }
    flow->has_restore = !restore.empty();
    flow->queueing = true;
    flow->pending = flow->has_restore ? 2 : 1;
    flow_queue(flow->path, flow_batch(std::move(steps), false), work_done, flow);
    if (flow->has_restore)
        flow_queue(flow->path, flow_batch(std::move(restore), true), restore_done, flow);
    flow->queueing = false;
    if (flow->pending == 0)
        finish(flow);
}

int start(ubus_context *ctx, ubus_request_data *req, sms_flow *flow)
{
    flow_defer(ctx, req, &flow->request);
    std::vector<port_op> reads;
    reads.push_back(flow_command("AT+CMGF?", QUERY_TIMEOUT));
    reads.push_back(flow_command("AT+CPMS?", QUERY_TIMEOUT));
    flow_queue(flow->path, flow_batch(std::move(reads), true), read_done, flow);
    return UBUS_STATUS_OK;
}

sms_flow *new_flow(sms_method method, const char *path, std::string storage)
{
    sms_flow *flow = new sms_flow();
    flow->method = method;
    flow->path = path;
    flow->storage = std::move(storage);
    return flow;
}

// "SM", "ME" or "MT"; false for anything else given.
bool storage_arg(blob_attr *attr, std::string *storage)
{
    if (!attr)
        return true;
    *storage = blobmsg_get_string(attr);
    return *storage == "SM" || *storage == "ME" || *storage == "MT";
}

} // namespace

int handle_sms_list(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    blob_attr *tb[SMS_LIST_POLICY_MAX];
    blobmsg_parse(sms_list_policy, SMS_LIST_POLICY_MAX, tb, blob_data(msg), blob_len(msg));
    const char *path = port_path_arg(tb[SMS_LIST_AT_PORT]);
    if (!path)
        return UBUS_STATUS_INVALID_ARGUMENT;
    std::string storage;
    if (!storage_arg(tb[SMS_LIST_STORAGE], &storage))
        return reply_error(ctx, req, "Unknown storage");
    return start(ctx, req, new_flow(sms_method::LIST, path, storage));
}

int handle_sms_delete(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    blob_attr *tb[SMS_DELETE_POLICY_MAX];
    blobmsg_parse(sms_delete_policy, SMS_DELETE_POLICY_MAX, tb, blob_data(msg), blob_len(msg));
    const char *path = port_path_arg(tb[SMS_DELETE_AT_PORT]);
    if (!path || !tb[SMS_DELETE_INDEXES])
        return UBUS_STATUS_INVALID_ARGUMENT;
    std::string storage;
    if (!storage_arg(tb[SMS_DELETE_STORAGE], &storage))
        return reply_error(ctx, req, "Unknown storage");
    std::vector<uint32_t> indexes;
    blob_attr *item;
    size_t rem;
    blobmsg_for_each_attr(item, tb[SMS_DELETE_INDEXES], rem)
    {
        if (blobmsg_type(item) != BLOBMSG_TYPE_INT32)
            return UBUS_STATUS_INVALID_ARGUMENT;
        if (indexes.size() == DELETE_MAX)
            return reply_error(ctx, req, "Too many indexes");
        indexes.push_back(blobmsg_get_u32(item));
    }
    if (indexes.empty())
        return UBUS_STATUS_INVALID_ARGUMENT;
    sms_flow *flow = new_flow(sms_method::DELETE, path, storage);
    flow->indexes = std::move(indexes);
    return start(ctx, req, flow);
}

int handle_sms_send(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    blob_attr *tb[SMS_SEND_POLICY_MAX];
    blobmsg_parse(sms_send_policy, SMS_SEND_POLICY_MAX, tb, blob_data(msg), blob_len(msg));
    const char *path = port_path_arg(tb[SMS_SEND_AT_PORT]);
    if (!path || !tb[SMS_SEND_TO] || !tb[SMS_SEND_TEXT])
        return UBUS_STATUS_INVALID_ARGUMENT;
    std::string_view smsc = tb[SMS_SEND_SMSC] ? blobmsg_get_string(tb[SMS_SEND_SMSC]) : "";
    // A fresh reference each time: the same text sent twice in a row must
    // not be merged into one message by the receiver.
    sms_encoded encoded = sms_encode_submit(blobmsg_get_string(tb[SMS_SEND_TO]), blobmsg_get_string(tb[SMS_SEND_TEXT]),
                                            smsc, next_reference++);
    if (!encoded.error.empty())
        return reply_error(ctx, req, encoded.error.c_str());
    sms_flow *flow = new_flow(sms_method::SEND, path, {});
    flow->parts = std::move(encoded.parts);
    return start(ctx, req, flow);
}
