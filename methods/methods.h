// Bus method handlers of the object "tarnel" and their argument policies.
// Each parses its arguments with its policy, drives the port engine, sends at
// most one reply and returns a bus status: OK after a reply, INVALID_ARGUMENT
// for a missing or unusable required argument, NO_DATA when no port record
// can be had.
#pragma once

#include "core/bus_api.h"

enum { OPEN_AT_PORT, OPEN_BAUDRATE, OPEN_DATABITS, OPEN_PARITY, OPEN_STOPBITS, OPEN_TIMEOUT, OPEN_POLICY_MAX };
enum { SENDAT_AT_PORT, SENDAT_TIMEOUT, SENDAT_END_FLAG, SENDAT_AT_CMD, SENDAT_RAW, SENDAT_SENDONLY, SENDAT_POLICY_MAX };
enum { CLOSE_AT_PORT, CLOSE_POLICY_MAX };

extern const blobmsg_policy open_policy[OPEN_POLICY_MAX];
extern const blobmsg_policy sendat_policy[SENDAT_POLICY_MAX];
extern const blobmsg_policy close_policy[CLOSE_POLICY_MAX];

int handle_open(ubus_context *ctx, ubus_object *obj, ubus_request_data *req, const char *method, blob_attr *msg);
int handle_sendat(ubus_context *ctx, ubus_object *obj, ubus_request_data *req, const char *method, blob_attr *msg);
int handle_list(ubus_context *ctx, ubus_object *obj, ubus_request_data *req, const char *method, blob_attr *msg);
int handle_close(ubus_context *ctx, ubus_object *obj, ubus_request_data *req, const char *method, blob_attr *msg);
