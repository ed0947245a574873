// hexview serve: whose program is at the other end of a loopback connection.
// Linux lists every TCP socket with the user that made it (/proc/net/tcp and
// tcp6); both ends of a loopback connection are there, so the client's user
// is set against the user of the server's own end, with no system call.
#include <boost/asio/ip/address.hpp>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "serve/serve.h"

namespace {

// An address as the kernel's table writes it: each 4-byte group as a
// native-order number in 8 upper-case hex digits.
template <class Bytes>
std::string table_address(const Bytes &bytes) {
    std::string out;
    for (size_t at = 0; at + 4 <= bytes.size(); at += 4) {
        uint32_t word;
        std::memcpy(&word, bytes.data() + at, 4);
        char digits[9];
        std::snprintf(digits, sizeof digits, "%08X", word);
        out += digits;
    }
    return out;
}

std::string table_endpoint(const std::string &address, int port, bool &v6) {
    boost::system::error_code ec;
    auto a = boost::asio::ip::make_address(address, ec);
    if (ec) return "";
    v6 = a.is_v6();
    char p[6];
    std::snprintf(p, sizeof p, "%04X", static_cast<unsigned>(port) & 0xffff);
    std::string host = v6 ? table_address(a.to_v6().to_bytes()) : table_address(a.to_v4().to_bytes());
    return host + ":" + p;
}

}  // namespace

peer_user loopback_peer_user(const http_request &req) {
    bool v6 = false;
    std::string client = table_endpoint(req.peer_address, req.peer_port, v6);
    std::string server_side = table_endpoint(v6 ? "::1" : "127.0.0.1", req.local_port, v6);
    std::ifstream table(v6 ? "/proc/net/tcp6" : "/proc/net/tcp");
    if (client.empty() || !table) return {};
    std::string line, slot, local, remote, state, queues, timer, retransmits;
    unsigned long uid = 0;
    bool ours_known = false, theirs_known = false;
    unsigned long ours = 0, theirs = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid)) continue;
        if (local == client && remote == server_side) {
            theirs = uid;
            theirs_known = true;
        } else if (local == server_side && remote == client) {
            ours = uid;
            ours_known = true;
        }
    }
    // Without our own end the table tells nothing here (a sandbox's made-up
    // one); with it, a client end that is missing is a client that is gone.
    if (!ours_known) return {};
    // Root may read any process's memory, tokens and all: letting it in gives nothing away.
    bool same = theirs_known && (theirs == ours || theirs == 0);
    return {true, same, theirs_known ? static_cast<long>(theirs) : -1};
}
