// Which node a port's name leads to: an absolute path names its node; a
// name of hardware ("usb:2c7c:0125:02") names a USB interface, whose
// terminal is looked up among the ttys in sysfs at every open and every
// repair, so the port follows the interface when it comes back under
// another number.
#include <unistd.h>

#include "port/port_internal.h"

static std::vector<std::string> nodes_of(const port_engine *engine, const usb_name &name)
{
    return usb_name_nodes(engine->sysfs_root, engine->dev_root, name);
}

bool port_lookup_node(const port_entry *entry, std::string *node, open_failure *why)
{
    if (!entry->by_hardware) {
        *node = entry->path;
        return true;
    }
    std::vector<std::string> nodes = nodes_of(entry->engine, entry->hardware_name);
    if (nodes.size() == 1) {
        *node = nodes.front();
        return true;
    }
    why->kind = nodes.empty() ? open_failure::MISSING : open_failure::AMBIGUOUS;
    why->nodes = std::move(nodes);
    return false;
}

bool port_node_present(const port_entry *entry)
{
    if (!entry->by_hardware)
        return access(entry->path, F_OK) == 0;
    return !nodes_of(entry->engine, entry->hardware_name).empty();
}

const char *open_refusal(const open_failure &why)
{
    return why.kind == open_failure::AMBIGUOUS ? "Port is ambiguous" : nullptr;
}

bool port_name_valid(const char *name)
{
    usb_name parsed;
    return name[0] == '/' || usb_name_parse(name, &parsed);
}

bool port_name_exists(port_engine *engine, const char *name)
{
    usb_name parsed;
    if (!usb_name_parse(name, &parsed))
        return access(name, F_OK) == 0;
    return !nodes_of(engine, parsed).empty();
}
