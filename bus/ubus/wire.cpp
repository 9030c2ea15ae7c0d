// Frames on the broker socket: sending one message, assembling incoming
// frames from a non-blocking socket and indexing their attributes.
//
// Everything read from the socket is untrusted. A frame whose length is out
// of bounds ends the connection (the stream cannot be resynchronised); an
// attribute that fails its type check, or a nested attribute whose blobmsg
// tree does not hold together, is left out of tb[] as if it were absent.
#include "bus/ubus/ubus_internal.h"

#include "bus/ubox/attr_walk.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace
{

// One builder per thread: messages are built and sent before anything else
// can run, so it is never shared by two messages at once.
struct msg_builder {
    blob_buf buf{};
    ~msg_builder() { blob_buf_free(&buf); }
};
thread_local msg_builder builder;

constexpr size_t head_size = sizeof(ubus_msghdr) + sizeof(blob_attr);

// Receive buffers are recycled between frames only up to this size, so
// one large message does not pin a megabyte for the life of the connection.
constexpr uint32_t keep_buffer_max = UBUS_MSG_CHUNK_SIZE;

const blob_attr_info attr_policy[UBUS_ATTR_MAX] = {
    {},                                // UNSPEC
    {BLOB_ATTR_INT32, 0, 0, nullptr},  // STATUS
    {BLOB_ATTR_STRING, 0, 0, nullptr}, // OBJPATH
    {BLOB_ATTR_INT32, 0, 0, nullptr},  // OBJID
    {BLOB_ATTR_STRING, 0, 0, nullptr}, // METHOD
    {BLOB_ATTR_INT32, 0, 0, nullptr},  // OBJTYPE
    {BLOB_ATTR_NESTED, 0, 0, nullptr}, // SIGNATURE
    {BLOB_ATTR_NESTED, 0, 0, nullptr}, // DATA
    {BLOB_ATTR_INT32, 0, 0, nullptr},  // TARGET
    {BLOB_ATTR_INT8, 0, 0, nullptr},   // ACTIVE
    {BLOB_ATTR_INT8, 0, 0, nullptr},   // NO_REPLY
    {BLOB_ATTR_NESTED, 0, 0, nullptr}, // SUBSCRIBERS
    {BLOB_ATTR_STRING, 0, 0, nullptr}, // USER
    {BLOB_ATTR_STRING, 0, 0, nullptr}, // GROUP
};

bool wait_writable(int fd)
{
    pollfd p = {fd, POLLOUT, 0};
    int r;

    do {
        r = poll(&p, 1, -1);
    } while (r < 0 && errno == EINTR);
    return r > 0 && !(p.revents & (POLLERR | POLLHUP | POLLNVAL));
}

// Writes the whole iovec, `total` bytes; the descriptor rides on the first
// sendmsg.
bool write_all(int sock, iovec *iov, int iovcnt, size_t total, int fd)
{
    alignas(cmsghdr) char cbuf[CMSG_SPACE(sizeof(int))];
    bool fd_sent = fd < 0;

    while (iovcnt > 0) {
        msghdr mh = {};
        mh.msg_iov = iov;
        mh.msg_iovlen = iovcnt;
        if (!fd_sent) {
            memset(cbuf, 0, sizeof(cbuf));
            mh.msg_control = cbuf;
            mh.msg_controllen = sizeof(cbuf);
            cmsghdr *c = CMSG_FIRSTHDR(&mh);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int));
            memcpy(CMSG_DATA(c), &fd, sizeof(int));
        }

        ssize_t n = sendmsg(sock, &mh, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_writable(sock))
                continue;
            return false;
        }
        fd_sent = true;
        // Usually all of it goes at once: no piece to pass over.
        total -= size_t(n);
        if (total == 0)
            return true;

        size_t done = n;
        while (iovcnt > 0 && done >= iov->iov_len) {
            done -= iov->iov_len;
            iov++;
            iovcnt--;
        }
        if (iovcnt > 0) {
            iov->iov_base = static_cast<char *>(iov->iov_base) + done;
            iov->iov_len -= done;
        }
    }
    return true;
}

// Bytes a read takes into the staging area: a call or a reply of the usual
// size, or several that came together. A body that still misses more than
// this is read straight into its own buffer.
constexpr uint32_t stage_size = 4096;

// The first descriptor that came with a read; any other is closed (a frame
// carries one at most).
int first_fd(msghdr *mh)
{
    int first = -1;
    for (cmsghdr *c = CMSG_FIRSTHDR(mh); c; c = CMSG_NXTHDR(mh, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < n; i++) {
            int fd;
            memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            if (first < 0)
                first = fd;
            else
                close(fd);
        }
    }
    return first;
}

// >0 bytes read, 0 end of stream, <0 error (errno set). *fd: a descriptor
// that came with the bytes, or -1.
ssize_t recv_some(int sock, void *buf, size_t len, int *fd)
{
    alignas(cmsghdr) char cbuf[CMSG_SPACE(4 * sizeof(int))];
    iovec iov = {buf, len};
    msghdr mh = {};
    ssize_t n;

    *fd = -1;
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = cbuf;
    mh.msg_controllen = sizeof(cbuf);
    do {
        n = recvmsg(sock, &mh, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n > 0 && mh.msg_controllen > 0)
        *fd = first_fd(&mh);
    return n;
}

// The body length a complete frame header announces.
uint32_t announced_len(const uint8_t *head)
{
    uint32_t id_len;

    memcpy(&id_len, head + sizeof(ubus_msghdr), sizeof(id_len));
    return be32_to_cpu(id_len) & BLOB_ATTR_LEN_MASK;
}

// Which frame a descriptor that came with the n bytes at data belongs to,
// counted from the one in hand (0). A sender passes a descriptor with the
// first bytes of its frame, and the kernel ends a read with the bytes that
// carried descriptors: so it is the last frame that starts in them.
int frames_ahead(const ubus_msg_rx *rx, const uint8_t *data, size_t n)
{
    size_t pos = 0;
    int index = 0;
    if (rx->head_len > 0) {
        // The rest of the frame in hand comes first.
        uint8_t head[head_size];
        size_t have = rx->head_len, took = 0;
        memcpy(head, rx->head, have);
        if (have < head_size) {
            took = std::min(n, head_size - have);
            memcpy(head + have, data, took);
            if (have + took < head_size)
                return 0;
        }
        size_t done = have == head_size ? rx->body_got : sizeof(blob_attr);
        pos = took + announced_len(head) - done;
        index = 1;
    }
    int last = 0;
    while (pos < n) {
        last = index;
        if (n - pos < head_size)
            break;
        uint32_t len = announced_len(data + pos);
        if (len < sizeof(blob_attr))
            break; // the stream breaks there anyway
        pos += sizeof(ubus_msghdr) + len;
        index++;
    }
    return last;
}

// Keeps the first descriptor of each frame and closes any other.
void keep_fd(ubus_msg_rx *rx, int fd, int ahead)
{
    if (fd < 0)
        return;
    int *slot = ahead == 0 ? &rx->fd : &rx->later_fd;
    if (*slot >= 0) {
        close(fd);
        return;
    }
    *slot = fd;
    if (ahead > 0)
        rx->later_skip = ahead;
}

// The header is complete: check the announced body length and make room.
bool start_body(ubus_msg_rx *rx)
{
    uint32_t id_len;

    memcpy(&id_len, rx->head + sizeof(ubus_msghdr), sizeof(id_len));
    uint32_t len = announced_len(rx->head);
    uint32_t padded = (len + 3) & ~3u;
    if (len < sizeof(blob_attr) || padded > UBUS_MAX_MSGLEN)
        return false;

    if (rx->body_cap < padded) {
        free(rx->body);
        rx->body = static_cast<blob_attr *>(malloc(padded));
        rx->body_cap = rx->body ? padded : 0;
        if (!rx->body)
            return false;
    }
    memcpy(rx->body, &id_len, sizeof(id_len));
    memset(reinterpret_cast<char *>(rx->body) + len, 0, padded - len);
    rx->body_len = len;
    rx->body_got = sizeof(id_len);
    return true;
}

bool nested_tree_ok(const blob_attr *attr)
{
    return attr_walk::tree_list_ok(blob_data(attr), blob_len(attr), false);
}

} // namespace

struct blob_buf *ubus_msg_builder(void)
{
    return &builder.buf;
}

// Appends attribute id carrying the children of msg (none if msg is NULL).
bool ubus_put_data(struct blob_buf *b, int id, const struct blob_attr *msg)
{
    static const char empty[1] = {0};

    if (msg && blob_pad_len(msg) > UBUS_MAX_MSGLEN)
        return false;
    if (!msg)
        return blob_put(b, id, empty, 0) != nullptr;
    return blob_put(b, id, blob_data(msg), blob_len(msg)) != nullptr;
}

namespace
{

// The frame header goes in front of the body's pieces in iov[1..], body_len
// bytes in all; a failed write shuts the socket down so that the next read
// reports the loss: a partly written frame leaves the stream unusable anyway.
int send_frame(ubus_context *ctx, uint16_t seq, int type, uint32_t peer, iovec *iov, int iovcnt, size_t body_len,
               int fd)
{
    if (ctx->lost || ctx->sock.fd < 0)
        return UBUS_STATUS_CONNECTION_FAILED;

    ubus_msghdr hdr;
    hdr.version = 0;
    hdr.type = static_cast<uint8_t>(type);
    hdr.seq = cpu_to_be16(seq);
    hdr.peer = cpu_to_be32(peer);
    iov[0] = {&hdr, sizeof(hdr)};
    if (!write_all(ctx->sock.fd, iov, iovcnt, sizeof(hdr) + body_len, fd)) {
        shutdown(ctx->sock.fd, SHUT_RDWR);
        return UBUS_STATUS_CONNECTION_FAILED;
    }
    return 0;
}

uint32_t attr_word(int id, size_t raw_len)
{
    return cpu_to_be32((uint32_t(id) << BLOB_ATTR_ID_SHIFT) | uint32_t(raw_len));
}

} // namespace

// 0, INVALID_ARGUMENT for a body over the size limit, CONNECTION_FAILED if
// the connection is gone.
int ubus_send_msg(struct ubus_context *ctx, uint16_t seq, struct blob_attr *body, int type, uint32_t peer, int fd)
{
    if (!body || blob_pad_len(body) > UBUS_MAX_MSGLEN)
        return UBUS_STATUS_INVALID_ARGUMENT;
    iovec iov[2] = {{}, {body, blob_raw_len(body)}};
    return send_frame(ctx, seq, type, peer, iov, 2, blob_raw_len(body), fd);
}

void ubus_u32_attr(uint32_t out[2], int id, uint32_t value)
{
    out[0] = attr_word(id, 2 * sizeof(uint32_t));
    out[1] = cpu_to_be32(value);
}

// The same bytes as building the body in a blob_buf (attrs, then
// ubus_put_data(b, data_id, msg)) and sending it, without copying msg.
int ubus_send_attrs(struct ubus_context *ctx, uint16_t seq, int type, uint32_t peer, const uint32_t *attrs,
                    size_t attrs_len, int data_id, const struct blob_attr *msg, int fd)
{
    static const char zeros[BLOB_ATTR_ALIGN] = {};
    size_t data_len = msg ? blob_len(msg) : 0;
    size_t data_pad = attr_walk::padded(data_len) - data_len;
    if (msg && blob_pad_len(msg) > UBUS_MAX_MSGLEN)
        return UBUS_STATUS_INVALID_ARGUMENT;

    size_t body_len = sizeof(blob_attr) + attrs_len;
    if (data_id > 0)
        body_len += sizeof(blob_attr) + data_len + data_pad;
    if (body_len > UBUS_MAX_MSGLEN)
        return UBUS_STATUS_INVALID_ARGUMENT;

    uint32_t body_word = attr_word(0, body_len);
    uint32_t data_word = attr_word(data_id, sizeof(blob_attr) + data_len);
    iovec iov[6] = {{},
                    {&body_word, sizeof(body_word)},
                    {const_cast<uint32_t *>(attrs), attrs_len},
                    {&data_word, sizeof(data_word)},
                    {msg ? blob_data(msg) : nullptr, data_len},
                    {const_cast<char *>(zeros), data_pad}};
    return send_frame(ctx, seq, type, peer, iov, data_id > 0 ? 6 : 3, body_len, fd);
}

namespace
{

// Moves staged bytes into the frame in hand. False when its header
// announces a length out of bounds.
bool take_staged(ubus_msg_rx *rx)
{
    uint32_t avail = rx->stage_end - rx->stage_pos;
    if (avail > 0 && rx->head_len < head_size) {
        uint32_t take = std::min<uint32_t>(avail, head_size - rx->head_len);
        memcpy(rx->head + rx->head_len, rx->stage + rx->stage_pos, take);
        rx->head_len += take;
        rx->stage_pos += take;
        avail -= take;
        if (rx->head_len == head_size && !start_body(rx))
            return false;
    }
    if (avail > 0 && rx->head_len == head_size && rx->body_got < rx->body_len) {
        uint32_t take = std::min(avail, rx->body_len - rx->body_got);
        memcpy(reinterpret_cast<char *>(rx->body) + rx->body_got, rx->stage + rx->stage_pos, take);
        rx->body_got += take;
        rx->stage_pos += take;
    }
    return true;
}

// One read: what the socket has into the (empty) staging area, or the
// missing part of a large body straight into its buffer. A read that
// returns less than it asked for, and no descriptor, has emptied the
// socket: the next one waits until the socket is readable again.
ssize_t read_more(ubus_context *ctx)
{
    ubus_msg_rx *rx = &ctx->rx;
    uint8_t *buf;
    size_t want;
    bool staged = rx->head_len < head_size || rx->body_len - rx->body_got < stage_size;
    if (staged) {
        if (!rx->stage && !(rx->stage = static_cast<uint8_t *>(malloc(stage_size)))) {
            errno = ENOMEM;
            return -1;
        }
        buf = rx->stage;
        want = stage_size;
    } else {
        buf = reinterpret_cast<uint8_t *>(rx->body) + rx->body_got;
        want = rx->body_len - rx->body_got;
    }

    int fd;
    ssize_t n = recv_some(ctx->sock.fd, buf, want, &fd);
    if (n <= 0)
        return n;
    if (staged) {
        rx->stage_pos = 0;
        rx->stage_end = uint32_t(n);
        keep_fd(rx, fd, fd >= 0 ? frames_ahead(rx, buf, size_t(n)) : 0);
    } else {
        rx->body_got += uint32_t(n);
        keep_fd(rx, fd, 0);
    }
    rx->drained = size_t(n) < want && fd < 0;
    return n;
}

} // namespace

// Reads until a whole frame is in hand (FRAME), the socket has nothing
// more (AGAIN, partial progress kept) or the stream is unusable (LOST).
enum ubus_rx_result ubus_rx_frame(struct ubus_context *ctx)
{
    ubus_msg_rx *rx = &ctx->rx;

    for (;;) {
        if (!take_staged(rx))
            return UBUS_RX_LOST;
        if (rx->head_len == head_size && rx->body_got == rx->body_len)
            return UBUS_RX_FRAME;
        if (rx->drained) {
            rx->drained = false;
            return UBUS_RX_AGAIN;
        }
        ssize_t n = read_more(ctx);
        if (n == 0)
            return UBUS_RX_LOST;
        if (n < 0)
            return (errno == EAGAIN || errno == EWOULDBLOCK) ? UBUS_RX_AGAIN : UBUS_RX_LOST;
    }
}

// Moves the buffered frame into msg and leaves the receive state empty, so
// the frame stays valid while its handlers read further frames.
void ubus_rx_take(struct ubus_context *ctx, struct ubus_msg_in *msg)
{
    ubus_msg_rx *rx = &ctx->rx;
    uint16_t seq;
    uint32_t peer;

    memcpy(&seq, rx->head + 2, sizeof(seq));
    memcpy(&peer, rx->head + 4, sizeof(peer));
    msg->hdr.version = rx->head[0];
    msg->hdr.type = rx->head[1];
    msg->hdr.seq = be16_to_cpu(seq);
    msg->hdr.peer = be32_to_cpu(peer);
    msg->body = rx->body;
    msg->body_cap = rx->body_cap;
    msg->fd = rx->fd;
    ubus_parse_attrs(msg->body, msg->tb);

    rx->body = nullptr;
    rx->body_cap = 0;
    rx->fd = -1;
    rx->head_len = 0;
    rx->body_len = 0;
    rx->body_got = 0;
    if (rx->later_fd >= 0 && --rx->later_skip == 0) {
        rx->fd = rx->later_fd;
        rx->later_fd = -1;
    }
}

// Hands a taken frame's buffer back for reuse, or frees it.
void ubus_rx_recycle(struct ubus_context *ctx, struct ubus_msg_in *msg)
{
    ubus_close_fd(&msg->fd);
    if (!ctx->rx.body && msg->body_cap <= keep_buffer_max) {
        ctx->rx.body = msg->body;
        ctx->rx.body_cap = msg->body_cap;
    } else {
        free(msg->body);
    }
    msg->body = nullptr;
}

void ubus_rx_reset(struct ubus_context *ctx)
{
    ubus_msg_rx *rx = &ctx->rx;

    free(rx->body);
    free(rx->stage);
    ubus_close_fd(&rx->fd);
    ubus_close_fd(&rx->later_fd);
    rx->body = nullptr;
    rx->body_cap = 0;
    rx->head_len = 0;
    rx->body_len = 0;
    rx->body_got = 0;
    rx->stage = nullptr;
    rx->stage_pos = rx->stage_end = 0;
    rx->drained = false;
}

// body must have passed the frame length checks (its length is readable
// and the buffer is zero-padded behind it).
void ubus_parse_attrs(struct blob_attr *body, struct blob_attr **tb)
{
    static const int nested[] = {UBUS_ATTR_SIGNATURE, UBUS_ATTR_DATA};

    // Clears every slot of tb first, whatever the body holds.
    blob_parse_untrusted(body, blob_raw_len(body), tb, attr_policy, UBUS_ATTR_MAX);
    // Message attributes never carry the extended bit. On a nested one it
    // would make blobmsg_data() skip a name header, so readers would walk
    // other bytes than the ones checked here (or read past a short one).
    for (int id : nested) {
        if (tb[id] && (blob_is_extended(tb[id]) || !nested_tree_ok(tb[id])))
            tb[id] = nullptr;
    }
}

void ubus_close_fd(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}
