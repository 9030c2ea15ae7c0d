#include "core/object.h"

#include "core/alive.h"
#include "methods/methods.h"

// One method a line, in the order the object lists them.
// clang-format off
static const ubus_method tarnel_methods[] = {
    UBUS_METHOD("open", handle_open, open_policy),
    UBUS_METHOD("sendat", handle_sendat, sendat_policy),
    UBUS_METHOD_NOARG("list", handle_list),
    UBUS_METHOD("close", handle_close, close_policy),
    UBUS_METHOD("share", handle_share, share_policy),
    UBUS_METHOD("unshare", handle_unshare, unshare_policy),
    UBUS_METHOD("batch", handle_batch, batch_policy),
    UBUS_METHOD("sms_list", handle_sms_list, sms_list_policy),
    UBUS_METHOD("sms_delete", handle_sms_delete, sms_delete_policy),
    UBUS_METHOD("sms_send", handle_sms_send, sms_send_policy),
    UBUS_METHOD("ussd", handle_ussd, ussd_policy),
};
// clang-format on

static ubus_object_type tarnel_object_type = UBUS_OBJECT_TYPE("tarnel", tarnel_methods);

// Every field is spelled out: C++ wants designators in declaration order and
// -Wextra flags any left out.
ubus_object tarnel_object = {
    .avl = {},
    .name = "tarnel",
    .id = 0,
    .path = nullptr,
    .type = &tarnel_object_type,
    .subscribe_cb = alive_subscribers_changed,
    .has_subscribers = false,
    .methods = tarnel_methods,
    .n_methods = ARRAY_SIZE(tarnel_methods),
};
