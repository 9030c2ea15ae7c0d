// The whole-tree checks of attr_walk.h. Depth is capped so that a small
// message made of nothing but nested empty containers cannot use up the
// stack.
#include "bus/ubox/attr_walk.h"

namespace attr_walk
{

namespace
{

bool list_ok(const void *data, size_t len, bool need_names, int depth);

bool value_ok(const attr &a, bool need_name, int depth)
{
    value v;
    if (!split_value(a, need_name, &v))
        return false;
    if (v.type != BLOBMSG_TYPE_ARRAY && v.type != BLOBMSG_TYPE_TABLE)
        return true;
    if (depth >= max_depth)
        return false;
    // Senders do put nameless members in tables (blobmsg_add_*(b, "", ...))
    // and readers skip or print them, so below the top names are optional.
    return list_ok(v.data, v.len, false, depth + 1);
}

bool list_ok(const void *data, size_t len, bool need_names, int depth)
{
    cursor c(data, len);
    attr a;
    step s;
    while ((s = c.next(&a)) == step::attr) {
        if (!value_ok(a, need_names, depth))
            return false;
    }
    return s == step::end && (data || len == 0);
}

} // namespace

bool tree_ok(const void *p, bool need_name, size_t avail)
{
    attr a;
    return read_attr(p, avail, &a) && value_ok(a, need_name, 0);
}

bool tree_list_ok(const void *data, size_t len, bool need_names)
{
    return list_ok(data, len, need_names, 0);
}

} // namespace attr_walk
