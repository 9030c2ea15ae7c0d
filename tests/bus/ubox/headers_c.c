/* The headers must also build as C, and the library's symbols must link
 * with C linkage from a C caller. */
#include <libubox/utils.h>
#include <libubox/list.h>
#include <libubox/avl.h>
#include <libubox/blob.h>
#include <libubox/blobmsg.h>
#include <libubox/uloop.h>

size_t tarnel_c_build_message(void);

size_t tarnel_c_build_message(void)
{
    static struct blob_buf b;
    static const struct blobmsg_policy pol[] = {{.name = "a", .type = BLOBMSG_TYPE_STRING}};
    struct blob_attr *tb[ARRAY_SIZE(pol)];
    size_t len;

    blobmsg_buf_init(&b);
    blobmsg_add_string(&b, "a", "b");
    if (blobmsg_parse(pol, ARRAY_SIZE(pol), tb, blob_data(b.head), blob_len(b.head)) || !tb[0])
        return 0;
    len = blob_pad_len(b.head);
    blob_buf_free(&b);
    return len;
}
