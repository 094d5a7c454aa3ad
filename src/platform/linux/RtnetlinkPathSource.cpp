#include "platform/linux/RtnetlinkPathSource.hpp"

#include <asio/post.hpp>

#include <linux/if_addr.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace velorinth {

namespace {

constexpr std::size_t kDatagramSize = 64 * 1024;
constexpr int kReceiveBuffer = 1024 * 1024;

constexpr std::size_t align4(std::size_t length) { return (length + 3) & ~std::size_t{3}; }

// Structures are copied out of the datagram: it gives no alignment promise.
template <class T>
std::optional<T> structAt(ByteView data, std::size_t offset = 0) {
    if (offset > data.size() || data.size() - offset < sizeof(T)) return std::nullopt;
    T value;
    std::memcpy(&value, data.data() + offset, sizeof value);
    return value;
}

// Calls `visit(type, payload)` for each attribute in `data`; stops at the
// first that does not fit.
template <class Visit>
void forEachAttribute(ByteView data, Visit visit) {
    std::size_t offset = 0;
    while (const auto attribute = structAt<rtattr>(data, offset)) {
        const std::size_t length = attribute->rta_len;
        const std::size_t header = align4(sizeof(rtattr));
        if (length < header || length > data.size() - offset) return;
        visit(static_cast<unsigned>(attribute->rta_type), data.subspan(offset + header, length - header));
        offset += align4(length);
        if (offset >= data.size()) return;
    }
}

std::optional<std::uint32_t> u32Of(ByteView payload) { return structAt<std::uint32_t>(payload); }

std::string nulTerminatedText(ByteView payload) {
    const auto end = std::find(payload.begin(), payload.end(), std::uint8_t{0});
    return std::string(payload.begin(), end);
}

// The attributes of a message follow its fixed header.
ByteView attributesAfter(ByteView body, std::size_t headerSize) {
    const std::size_t start = align4(headerSize);
    return start <= body.size() ? body.subspan(start) : ByteView{};
}

} // namespace

RtnetlinkPathSource::RtnetlinkPathSource(asio::any_io_executor executor, std::filesystem::path sysfsRoot)
    : executor_(std::move(executor)), sysfs_(std::move(sysfsRoot)), socket_(executor_) {}

void RtnetlinkPathSource::start(Handler handler) {
    asio::post(executor_, [self = shared_from_this(), handler = std::move(handler)]() mutable {
        self->open(std::move(handler));
    });
}

void RtnetlinkPathSource::cancel() {
    cancelled_ = true;
    asio::post(executor_, [self = shared_from_this()] { self->close(); });
}

void RtnetlinkPathSource::open(Handler handler) {
    if (cancelled_) return;
    handler_ = std::move(handler);
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) return;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    sockaddr address{};
    std::memcpy(&address, &local, std::min(sizeof address, sizeof local));
    if (::bind(fd, &address, sizeof local) != 0) {
        ::close(fd);
        return;
    }
    asio::error_code ignored;
    socket_.assign(fd, ignored);
    buffer_.resize(kDatagramSize);
    requestDumps();
    awaitReadable();
}

void RtnetlinkPathSource::close() {
    asio::error_code ignored;
    socket_.close(ignored);
    handler_ = nullptr;
}

void RtnetlinkPathSource::requestDumps() {
    links_.clear();
    addresses_.clear();
    routes_.clear();
    dumped_ = false;
    pendingDumps_ = {RTM_GETLINK, RTM_GETADDR, RTM_GETROUTE};
    sendNextDump();
}

void RtnetlinkPathSource::sendNextDump() {
    dumpSequence_.reset();
    if (pendingDumps_.empty()) {
        dumped_ = true;
        return;
    }
    const std::uint16_t type = pendingDumps_.front();
    pendingDumps_.pop_front();
    // A header and a generic family byte, padded: every dump here takes one.
    struct {
        nlmsghdr header;
        rtgenmsg message;
        std::uint8_t padding[3];
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = nextSequence_++;
    request.message.rtgen_family = AF_UNSPEC;
    if (::send(socket_.native_handle(), &request, sizeof request, 0) < 0) {
        // The kernel took no request: go on with what is known.
        sendNextDump();
        return;
    }
    dumpSequence_ = request.header.nlmsg_seq;
}

void RtnetlinkPathSource::awaitReadable() {
    socket_.async_wait(asio::posix::stream_descriptor::wait_read, [self = shared_from_this()](asio::error_code error) {
        if (error || self->cancelled_) return;
        self->drain();
    });
}

void RtnetlinkPathSource::drain() {
    bool more = true;
    while (more) {
        if (!readDatagram(more)) return;
    }
    if (dumped_) report();
    if (!cancelled_ && socket_.is_open()) awaitReadable();
}

bool RtnetlinkPathSource::readDatagram(bool& more) {
    const ssize_t received = ::recv(socket_.native_handle(), buffer_.data(), buffer_.size(), MSG_DONTWAIT);
    if (received < 0) {
        more = false;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
        if (errno == ENOBUFS) {
            // Notifications were lost: the tables may be wrong, so read them afresh.
            requestDumps();
            more = true;
            return true;
        }
        return false;
    }
    const ByteView datagram(buffer_.data(), static_cast<std::size_t>(received));
    std::size_t offset = 0;
    while (const auto header = structAt<nlmsghdr>(datagram, offset)) {
        const std::size_t length = header->nlmsg_len;
        if (length < sizeof(nlmsghdr) || length > datagram.size() - offset) break;
        const std::size_t bodyStart = align4(sizeof(nlmsghdr));
        handle(header->nlmsg_type, header->nlmsg_seq, datagram.subspan(offset + bodyStart, length - bodyStart));
        offset += align4(length);
    }
    return true;
}

void RtnetlinkPathSource::handle(std::uint16_t type, std::uint32_t sequence, ByteView body) {
    switch (type) {
    case NLMSG_DONE:
    case NLMSG_ERROR:
        if (dumpSequence_ && sequence == *dumpSequence_) sendNextDump();
        break;
    case RTM_NEWLINK: handleLink(true, body); break;
    case RTM_DELLINK: handleLink(false, body); break;
    case RTM_NEWADDR: handleAddress(true, body); break;
    case RTM_DELADDR: handleAddress(false, body); break;
    case RTM_NEWROUTE: handleRoute(true, body); break;
    case RTM_DELROUTE: handleRoute(false, body); break;
    default: break;
    }
}

void RtnetlinkPathSource::handleLink(bool added, ByteView body) {
    const auto message = structAt<ifinfomsg>(body);
    if (!message || message->ifi_index <= 0) return;
    const int index = message->ifi_index;
    if (!added) {
        links_.erase(index);
        std::erase_if(addresses_, [index](const auto& entry) { return entry.first.index == index; });
        std::erase_if(routes_, [index](const Route& route) { return route.outputInterface == index; });
        return;
    }
    std::string name;
    forEachAttribute(attributesAfter(body, sizeof(ifinfomsg)), [&](unsigned attribute, ByteView payload) {
        if (attribute == IFLA_IFNAME) name = nulTerminatedText(payload);
    });
    NetworkPathClassifier::Link& link = links_[index];
    const bool renamed = link.name != name || link.index != index;
    link.index = index;
    link.flags = message->ifi_flags;
    link.hardwareType = message->ifi_type;
    if (renamed) {
        link.name = name;
        link.sysfs = sysfs_.find(name).value_or(SysfsNetworkInterface{name, {}, false, false, false, {}, {}});
    }
}

void RtnetlinkPathSource::handleAddress(bool added, ByteView body) {
    const auto message = structAt<ifaddrmsg>(body);
    if (!message || (message->ifa_family != AF_INET && message->ifa_family != AF_INET6)) return;
    const std::size_t size = message->ifa_family == AF_INET ? 4 : 16;
    Bytes address, local;
    forEachAttribute(attributesAfter(body, sizeof(ifaddrmsg)), [&](unsigned attribute, ByteView payload) {
        if (payload.size() != size) return;
        if (attribute == IFA_ADDRESS) address.assign(payload.begin(), payload.end());
        if (attribute == IFA_LOCAL) local.assign(payload.begin(), payload.end());
    });
    // On a point-to-point IPv4 link IFA_ADDRESS is the peer; IFA_LOCAL is ours.
    if (!local.empty()) address = local;
    if (address.empty()) return;
    const int index = static_cast<int>(message->ifa_index);
    AddressKey key{index, message->ifa_family, address, message->ifa_prefixlen};
    if (added) {
        addresses_.insert_or_assign(std::move(key), NetworkPathClassifier::Address{index, message->ifa_family, address});
    } else {
        addresses_.erase(key);
    }
}

void RtnetlinkPathSource::handleRoute(bool added, ByteView body) {
    const auto message = structAt<rtmsg>(body);
    if (!message || message->rtm_dst_len != 0 || message->rtm_type != RTN_UNICAST ||
        (message->rtm_family != AF_INET && message->rtm_family != AF_INET6)) {
        return;
    }
    unsigned table = message->rtm_table;
    Route route{message->rtm_family, 0, 0};
    forEachAttribute(attributesAfter(body, sizeof(rtmsg)), [&](unsigned attribute, ByteView payload) {
        if (attribute == RTA_TABLE) table = u32Of(payload).value_or(table);
        if (attribute == RTA_PRIORITY) route.metric = u32Of(payload).value_or(0);
        if (attribute == RTA_OIF) route.outputInterface = static_cast<int>(u32Of(payload).value_or(0));
        if (attribute == RTA_MULTIPATH && route.outputInterface == 0) {
            if (const auto hop = structAt<rtnexthop>(payload); hop && hop->rtnh_len >= sizeof(rtnexthop)) {
                route.outputInterface = hop->rtnh_ifindex;
            }
        }
    });
    if (table != RT_TABLE_MAIN || route.outputInterface <= 0) return;
    std::erase(routes_, route);
    if (added) routes_.push_back(route);
}

void RtnetlinkPathSource::report() {
    std::vector<NetworkPathClassifier::Link> links;
    for (const auto& entry : links_) links.push_back(entry.second);
    std::vector<NetworkPathClassifier::Address> addresses;
    for (const auto& entry : addresses_) addresses.push_back(entry.second);
    NetworkPathReport path = NetworkPathClassifier::classify(links, addresses, routes_);
    if (lastReported_ == path) return;
    lastReported_ = path;
    if (!cancelled_ && handler_) handler_(path);
}

std::shared_ptr<NetworkPathSource> NetworkPathSource::create(const asio::any_io_executor& executor) {
    return std::make_shared<RtnetlinkPathSource>(executor);
}

} // namespace velorinth
