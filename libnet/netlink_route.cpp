#include "libnet/netlink_route.h"

#include <libmnl/libmnl.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace qz::net {

struct NetlinkRouteClient::Socket {
    explicit Socket(mnl_socket* s) : handle(s) {}
    ~Socket() { mnl_socket_close(handle); }
    mnl_socket* handle;
};

namespace {

struct ParseState {
    std::string wanted;
    bool found{false};
    bool name_matches{false};
    LinkInfo info;
};

int on_attribute(const nlattr* attribute, void* data) {
    auto& state = *static_cast<ParseState*>(data);
    switch (mnl_attr_get_type(attribute)) {
        case IFLA_IFNAME:
            if (mnl_attr_validate(attribute, MNL_TYPE_NUL_STRING) >= 0) {
                state.name_matches = state.wanted == mnl_attr_get_str(attribute);
            }
            break;
        case IFLA_OPERSTATE:
            if (mnl_attr_validate(attribute, MNL_TYPE_U8) >= 0) {
                state.info.operstate = mnl_attr_get_u8(attribute);
            }
            break;
        case IFLA_STATS64: {
            // Newer kernels append counters; older ones may carry fewer. Take what is there.
            const auto length = mnl_attr_get_payload_len(attribute);
            const std::size_t count = std::min<std::size_t>(length / 8, kLinkStatCount);
            std::memcpy(state.info.stats.data(), mnl_attr_get_payload(attribute), count * 8);
            break;
        }
        default:
            break;
    }
    return MNL_CB_OK;
}

int on_message(const nlmsghdr* header, void* data) {
    if (header->nlmsg_type != RTM_NEWLINK) {
        return MNL_CB_OK;
    }
    auto& state = *static_cast<ParseState*>(data);
    state.name_matches = false;
    state.info = {};
    if (mnl_attr_parse(header, sizeof(ifinfomsg), on_attribute, &state) != MNL_CB_OK) {
        return MNL_CB_ERROR;
    }
    state.found = state.found || state.name_matches;
    return MNL_CB_OK;
}

}  // namespace

NetlinkRouteClient::NetlinkRouteClient(std::unique_ptr<Socket> socket)
    : socket_(std::move(socket)) {}
NetlinkRouteClient::~NetlinkRouteClient() = default;

std::expected<std::unique_ptr<NetlinkRouteClient>, NetlinkError> NetlinkRouteClient::open() {
    mnl_socket* handle = mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC);
    if (handle == nullptr) {
        return std::unexpected(NetlinkError{std::strerror(errno)});
    }
    auto socket = std::make_unique<Socket>(handle);
    if (mnl_socket_bind(handle, 0, MNL_SOCKET_AUTOPID) < 0) {
        return std::unexpected(NetlinkError{std::strerror(errno)});
    }
    // The kernel answers at once; the bound only guards the main loop against a lost answer.
    timeval timeout{0, 200'000};
    ::setsockopt(mnl_socket_get_fd(handle), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    return std::unique_ptr<NetlinkRouteClient>(new NetlinkRouteClient(std::move(socket)));
}

std::expected<LinkInfo, NetlinkError> NetlinkRouteClient::get_link(
    const std::string& interface_name) {
    std::vector<char> buffer(MNL_SOCKET_BUFFER_SIZE);
    nlmsghdr* request = mnl_nlmsg_put_header(buffer.data());
    request->nlmsg_type = RTM_GETLINK;
    request->nlmsg_flags = NLM_F_REQUEST;
    request->nlmsg_seq = ++sequence_;
    auto* link = static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(request, sizeof(ifinfomsg)));
    link->ifi_family = AF_UNSPEC;
    mnl_attr_put_strz(request, IFLA_IFNAME, interface_name.c_str());

    mnl_socket* handle = socket_->handle;
    if (mnl_socket_sendto(handle, request, request->nlmsg_len) < 0) {
        return std::unexpected(NetlinkError{std::strerror(errno)});
    }
    const unsigned port_id = mnl_socket_get_portid(handle);
    ParseState state;
    state.wanted = interface_name;
    while (true) {
        const auto received = mnl_socket_recvfrom(handle, buffer.data(), buffer.size());
        if (received < 0) {
            return std::unexpected(NetlinkError{std::strerror(errno)});
        }
        const int result = mnl_cb_run(buffer.data(), static_cast<std::size_t>(received), sequence_,
                                      port_id, on_message, &state);
        if (result == MNL_CB_ERROR) {
            // mnl_cb_run turns an NLMSG_ERROR answer into errno (ENODEV for an unknown name).
            return std::unexpected(NetlinkError{std::strerror(errno)});
        }
        if (result == MNL_CB_STOP || state.found) {
            break;
        }
    }
    if (!state.found) {
        return std::unexpected(NetlinkError{"Interface not found or parse error"});
    }
    return state.info;
}

}  // namespace qz::net
