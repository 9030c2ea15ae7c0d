// Bus method handlers of the object "tarnel" and their argument policies.
// Each parses its arguments with its policy and returns at once: "list" with
// its reply; "open", "sendat" and "close" after deferring the request to the
// port's queue (methods/call.h), or with an immediate answer. Statuses: OK,
// INVALID_ARGUMENT for a missing or unusable required argument (no reply),
// NO_DATA when no port record can be had.
#pragma once

#include "core/bus_api.h"

enum {
    OPEN_AT_PORT,
    OPEN_BAUDRATE,
    OPEN_DATABITS,
    OPEN_PARITY,
    OPEN_STOPBITS,
    OPEN_TIMEOUT,
    OPEN_UNSOLICITED,
    OPEN_INIT,
    OPEN_POLICY_MAX
};
enum {
    SENDAT_AT_PORT,
    SENDAT_TIMEOUT,
    SENDAT_END_FLAG,
    SENDAT_AT_CMD,
    SENDAT_RAW,
    SENDAT_SENDONLY,
    SENDAT_DATA,
    SENDAT_POLICY_MAX
};
enum { CLOSE_AT_PORT, CLOSE_POLICY_MAX };
enum { SHARE_AT_PORT, SHARE_NAME, SHARE_TIMEOUT, SHARE_GROUP, SHARE_POLICY_MAX };
enum { UNSHARE_NAME, UNSHARE_POLICY_MAX };
enum { BATCH_AT_PORT, BATCH_COMMANDS, BATCH_KEEP_GOING, BATCH_POLICY_MAX };
enum { SMS_LIST_AT_PORT, SMS_LIST_STORAGE, SMS_LIST_POLICY_MAX };
enum { SMS_DELETE_AT_PORT, SMS_DELETE_INDEXES, SMS_DELETE_STORAGE, SMS_DELETE_POLICY_MAX };
enum { SMS_SEND_AT_PORT, SMS_SEND_TO, SMS_SEND_TEXT, SMS_SEND_SMSC, SMS_SEND_POLICY_MAX };
enum { USSD_AT_PORT, USSD_CODE, USSD_TIMEOUT, USSD_POLICY_MAX };

extern const blobmsg_policy open_policy[OPEN_POLICY_MAX];
extern const blobmsg_policy sendat_policy[SENDAT_POLICY_MAX];
extern const blobmsg_policy close_policy[CLOSE_POLICY_MAX];
extern const blobmsg_policy share_policy[SHARE_POLICY_MAX];
extern const blobmsg_policy unshare_policy[UNSHARE_POLICY_MAX];
extern const blobmsg_policy batch_policy[BATCH_POLICY_MAX];
extern const blobmsg_policy sms_list_policy[SMS_LIST_POLICY_MAX];
extern const blobmsg_policy sms_delete_policy[SMS_DELETE_POLICY_MAX];
extern const blobmsg_policy sms_send_policy[SMS_SEND_POLICY_MAX];
extern const blobmsg_policy ussd_policy[USSD_POLICY_MAX];

int handle_open(ubus_context *ctx, ubus_object *obj, ubus_request_data *req, const char *method, blob_attr *msg);
int handle_sendat(ubus_context *ctx, ubus_object *obj, ubus_request_data *req, const char *method, blob_attr *msg);
int handle_list(ubus_context *ctx, ubus_object *obj, ubus_request_data *req, const char *method, blob_attr *msg);
int handle_batch(ubus_context *ctx, ubus_object *obj, ubus_request_data *req, const char *method, blob_attr *msg);
int handle_sms_list(ubus_context *ctx, ubus_object *obj, ubus_request_data *req, const char *method, blob_attr *msg);
int handle_sms_delete(ubus_context *ctx, ubus_object *obj, ubus_request_data *req, const char *method, blob_attr *msg);
int handle_sms_send(ubus_context *ctx, ubus_object *obj, ubus_request_data *req, const char *method, blob_attr *msg);
int handle_ussd(ubus_context *ctx, ubus_object *obj, ubus_request_data *req, const char *method, blob_attr *msg);

// Fills op (an OP_SENDAT) from a table parsed with sendat_policy, checked
// as "sendat" checks it: INVALID_ARGUMENT for an unusable table, else OK
// with *refusal set to the reply's message when the command is refused.
int sendat_parse(blob_attr **tb, struct port_op *op, const char **refusal);
// The USSD answers' watcher: the daemon hands it every port event.
void ussd_port_event(const struct port_event &event);

int handle_close(ubus_context *ctx, ubus_object *obj, ubus_request_data *req, const char *method, blob_attr *msg);
// "share" and "unshare" answer at once: virtual ports (vport/vport.h).
int handle_share(ubus_context *ctx, ubus_object *obj, ubus_request_data *req, const char *method, blob_attr *msg);
int handle_unshare(ubus_context *ctx, ubus_object *obj, ubus_request_data *req, const char *method, blob_attr *msg);
