// "tarnel apply": the port sections of /etc/config/tarnel made the daemon's
// ports, doing only what changed since the record of the last run.
#include <getopt.h>

#include <algorithm>
#include <iostream>

#include "client/tarnel.h"

namespace
{

const char APPLY_USAGE[] = "Usage: tarnel apply [-c FILE] [-s SOCKET]\n";

bool contains(const std::vector<std::string> &v, const std::string &s)
{
    return std::find(v.begin(), v.end(), s) != v.end();
}

std::vector<std::string> unique_names(const std::vector<std::string> &names)
{
    std::vector<std::string> out;
    for (const auto &n : names)
        if (!contains(out, n))
            out.push_back(n);
    return out;
}

void add_strings(blob_buf &b, const char *name, const std::vector<std::string> &values)
{
    void *array = blobmsg_open_array(&b, name);
    for (const auto &v : values)
        blobmsg_add_string(&b, nullptr, v.c_str());
    blobmsg_close_array(&b, array);
}

// Empty on success, else what failed.
std::string open_port(bus_link &link, const port_config &p, const std::string &at_port)
{
    blob_buf b{};
    blob_buf_init(&b, 0);
    blobmsg_add_string(&b, "at_port", at_port.c_str());
    blobmsg_add_u32(&b, "baudrate", static_cast<uint32_t>(p.baudrate));
    blobmsg_add_u32(&b, "databits", static_cast<uint32_t>(p.databits));
    blobmsg_add_u32(&b, "parity", static_cast<uint32_t>(p.parity));
    blobmsg_add_u32(&b, "stopbits", static_cast<uint32_t>(p.stopbits));
    add_strings(b, "init", p.init);
    add_strings(b, "unsolicited", p.unsolicited);
    // Each init command may take the daemon's default wait, and calls
    // queued before ours on the port run first.
    int timeout_ms = 30000 + 10000 * static_cast<int>(p.init.size());
    call_result r = bus_call(link, "open", b, timeout_ms);
    blob_buf_free(&b);
    return call_failure(r);
}

std::string port_call(bus_link &link, const char *method, const std::string &at_port, const std::string *name,
                      const std::string *group)
{
    blob_buf b{};
    blob_buf_init(&b, 0);
    blobmsg_add_string(&b, "at_port", at_port.c_str());
    if (name)
        blobmsg_add_string(&b, "name", name->c_str());
    if (group && !group->empty())
        blobmsg_add_string(&b, "group", group->c_str());
    call_result r = bus_call(link, method, b, 30000);
    blob_buf_free(&b);
    return call_failure(r);
}

std::string state_dir()
{
    const char *dir = std::getenv("TARNEL_STATE_DIR");
    return dir && *dir ? dir : "/var/run/tarnel";
}

// Closes a port the record names and the configuration no longer does:
// its virtual ports first. False, with what failed, when something stays.
bool close_recorded(bus_link &link, applied_port &rec, std::string &failure)
{
    std::vector<std::string> left;
    for (const auto &name : rec.shares) {
        std::string f = port_call(link, "unshare", rec.at_port, &name, nullptr);
        if (!f.empty()) {
            failure += (failure.empty() ? "" : "; ") + std::string("unshare ") + name + ": " + f;
            left.push_back(name);
        }
    }
    rec.shares = left;
    std::string f = port_call(link, "close", rec.at_port, nullptr, nullptr);
    // Gone already (closed by someone, or a daemon that restarted): closed.
    if (!f.empty() && f != "Port not found")
        failure += (failure.empty() ? "" : "; ") + f;
    return failure.empty();
}

} // namespace

int tarnel_apply(int argc, char **argv)
{
    std::string file = "/etc/config/tarnel";
    std::string socket;
    static const option longs[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    optind = 1;
    int c;
    while ((c = getopt_long(argc, argv, "+c:s:h", longs, nullptr)) != -1) {
        switch (c) {
        case 'c': file = optarg; break;
        case 's': socket = optarg; break;
        case 'h': std::cout << tarnel_help(); return 0;
        default: std::cerr << APPLY_USAGE; return 1;
        }
    }
    if (optind < argc) {
        std::cerr << APPLY_USAGE;
        return 1;
    }

    std::vector<uci_section> sections;
    std::vector<port_config> ports;
    uci_error uerr;
    if (!uci_load(file, sections, uerr) || !uci_ports(sections, ports, uerr)) {
        std::cerr << "tarnel: " << uci_error_text(uerr, file) << "; nothing changed\n";
        return 1;
    }
    std::string dir = state_dir();
    std::string error;
    std::vector<applied_port> record;
    if (!applied_read(dir + "/applied", record, error))
        std::cerr << "tarnel: " << error << "; taken as empty\n";

    bus_link link;
    std::vector<listed_port> listed;
    if (!bus_open(link, socket, error) || !bus_list(link, listed, error)) {
        std::cerr << "tarnel: " << error << "; nothing changed\n";
        bus_close(link);
        return 1;
    }
    auto recorded = [&](const std::string &device) -> applied_port * {
        for (auto &r : record)
            if (r.device == device)
                return &r;
        return nullptr;
    };
    auto is_listed = [&](const std::string &path) {
        return std::any_of(listed.begin(), listed.end(), [&](const listed_port &l) { return l.path == path; });
    };
    auto wanted = [&](const std::string &device) {
        return std::any_of(ports.begin(), ports.end(),
                           [&](const port_config &p) { return p.enabled && p.device == device; });
    };

    bool failed = false;
    std::vector<applied_port> next;

    // What the record names and the file no longer does goes first.
    for (auto &rec : record) {
        if (wanted(rec.device))
            continue;
        std::string failure;
        if (close_recorded(link, rec, failure)) {
            std::cout << rec.device << ": closed\n";
        } else {
            std::cout << rec.device << ": failed: " << failure << "\n";
            failed = true;
            rec.open_digest = rec.share_digest = "-";
            next.push_back(rec); // tried again next time
        }
    }

    for (const auto &p : ports) {
        if (!p.enabled)
            continue;
        applied_port *rec = recorded(p.device);
        applied_port entry;
        entry.device = p.device;
        entry.at_port = rec ? rec->at_port : p.device;
        entry.open_digest = open_digest(p);
        std::vector<std::string> names = unique_names(p.share);
        entry.share_digest = share_digest(names, p.share_group);
        std::vector<std::string> old = rec ? rec->shares : std::vector<std::string>{};

        bool reopen = !rec || rec->open_digest != entry.open_digest || !is_listed(entry.at_port);
        std::string what = "unchanged";
        if (reopen) {
            std::string f = open_port(link, p, entry.at_port);
            if (!f.empty()) {
                std::cout << p.device << ": failed: " << f << "\n";
                failed = true;
                entry.open_digest = entry.share_digest = "-";
                entry.shares = old; // still ours to undo
                next.push_back(entry);
                continue;
            }
            what = "opened";
        }

        std::string share_failures;
        if (reopen || rec->share_digest != entry.share_digest) {
            // Same names under another group (or a group not known) are made again.
            bool regroup = rec && (rec->share_digest == "-" || share_digest(old, p.share_group) != rec->share_digest);
            std::vector<std::string> kept;
            for (const auto &name : old) {
                if (contains(names, name) && !regroup) {
                    kept.push_back(name);
                    continue;
                }
                std::string f = port_call(link, "unshare", entry.at_port, &name, nullptr);
                if (!f.empty()) {
                    share_failures += (share_failures.empty() ? "" : "; ") + ("unshare " + name + ": " + f);
                    kept.push_back(name);
                }
            }
            for (const auto &name : names) {
                if (contains(kept, name))
                    continue;
                std::string f = port_call(link, "share", entry.at_port, &name, &p.share_group);
                if (f.empty())
                    kept.push_back(name);
                else
                    share_failures += (share_failures.empty() ? "" : "; ") + ("share " + name + ": " + f);
            }
            entry.shares = kept;
            if (!reopen)
                what = "updated";
        } else {
            entry.shares = old;
        }
        if (share_failures.empty()) {
            std::cout << p.device << ": " << what << "\n";
        } else {
            std::cout << p.device << ": " << what << "; failed: " << share_failures << "\n";
            entry.share_digest = "-";
            failed = true;
        }
        next.push_back(entry);
    }
    bus_close(link);

    if (!applied_write(dir, next, error)) {
        std::cerr << "tarnel: " << error << "\n";
        failed = true;
    }
    return failed ? 1 : 0;
}
