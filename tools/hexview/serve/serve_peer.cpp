// hexview serve: whose program is at the other end of a loopback connection.
// Linux answers for one socket by its four numbers (sock_diag over netlink),
// with the user that made it and its state: the client's end is set against
// the server's own end of the same connection. One lookup each, whatever
// the number of sockets on the machine.
#include "serve/serve.h"

#if defined(__linux__)
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/ip/address.hpp>

#include <cerrno>
#include <cstring>
#include <optional>

namespace {

struct socket_owner {
    unsigned uid;
    unsigned state;  // TCP_ESTABLISHED, ...
};

enum class lookup { found, missing, unanswered };

// Copies an address into the four 32-bit words sock_diag takes, in network order.
void put_address(const boost::asio::ip::address &a, __be32 out[4]) {
    std::memset(out, 0, 4 * sizeof(__be32));
    if (a.is_v4()) {
        auto bytes = a.to_v4().to_bytes();
        std::memcpy(out, bytes.data(), bytes.size());
    } else {
        auto bytes = a.to_v6().to_bytes();
        std::memcpy(out, bytes.data(), bytes.size());
    }
}

// The owner of the TCP socket whose own end is `local` and whose other end
// is `remote`.
lookup find_socket(const boost::asio::ip::address &local, int local_port, const boost::asio::ip::address &remote,
                   int remote_port, socket_owner &owner) {
    int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return lookup::unanswered;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } ask{};
    ask.header.nlmsg_len = sizeof ask;
    ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.header.nlmsg_flags = NLM_F_REQUEST;
    ask.request.sdiag_family = local.is_v4() ? AF_INET : AF_INET6;
    ask.request.sdiag_protocol = IPPROTO_TCP;
    ask.request.idiag_states = ~0u;
    ask.request.id.idiag_sport = htons(static_cast<uint16_t>(local_port));
    ask.request.id.idiag_dport = htons(static_cast<uint16_t>(remote_port));
    put_address(local, ask.request.id.idiag_src);
    put_address(remote, ask.request.id.idiag_dst);
    ask.request.id.idiag_cookie[0] = ask.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    lookup result = lookup::unanswered;
    if (::sendto(fd, &ask, sizeof ask, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) ==
        static_cast<ssize_t>(sizeof ask)) {
        alignas(nlmsghdr) char answer[8192];
        ssize_t n = ::recv(fd, answer, sizeof answer, 0);
        auto *h = reinterpret_cast<nlmsghdr *>(answer);
        if (n >= static_cast<ssize_t>(sizeof(nlmsghdr)) && NLMSG_OK(h, static_cast<unsigned>(n))) {
            if (h->nlmsg_type == SOCK_DIAG_BY_FAMILY && h->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                auto *msg = static_cast<inet_diag_msg *>(NLMSG_DATA(h));
                owner = {msg->idiag_uid, msg->idiag_state};
                result = lookup::found;
            } else if (h->nlmsg_type == NLMSG_ERROR && h->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr))) {
                int error = -static_cast<nlmsgerr *>(NLMSG_DATA(h))->error;
                result = error == ENOENT ? lookup::missing : lookup::unanswered;
            }
        }
    }
    ::close(fd);
    return result;
}

}  // namespace

peer_user loopback_peer_user(const http_request &req) {
    boost::system::error_code ec;
    auto client = boost::asio::ip::make_address(req.peer_address, ec);
    if (ec) return {};
    auto server = boost::asio::ip::make_address(client.is_v4() ? "127.0.0.1" : "::1");
    socket_owner ours{}, theirs{};
    lookup our_end = find_socket(server, req.local_port, client, req.peer_port, ours);
    // A system that does not answer tells nothing (another kernel, a sandbox).
    if (our_end == lookup::unanswered) return {};
    if (our_end == lookup::missing) return {true, false, -1};  // reset: the client is gone
    if (find_socket(client, req.peer_port, server, req.local_port, theirs) != lookup::found)
        return {true, false, -1};
    // Only a live end counts: one closed already belongs to nobody (the
    // system names root then). Root may read any process's memory, tokens
    // and all: letting it in gives nothing away.
    bool live = theirs.state == TCP_ESTABLISHED;
    bool same = live && (theirs.uid == ours.uid || theirs.uid == 0);
    return {true, same, live ? static_cast<long>(theirs.uid) : -1};
}

#else

peer_user loopback_peer_user(const http_request &) { return {}; }

#endif
