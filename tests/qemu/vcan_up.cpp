// Creates a virtual CAN interface and sets it up, as `ip link add dev NAME type vcan` and
// `ip link set NAME up` would. The guest's busybox `ip` cannot add links, so this small
// static program talks rtnetlink itself. Usage: vcan_up [NAME] (default "can0").
#include <linux/if.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

struct LinkRequest {
    nlmsghdr header;
    ifinfomsg info;
    char attributes[256];
};

rtattr* AddAttribute(LinkRequest& request, unsigned short type, const void* data,
                     std::size_t length) {
    const unsigned attributeLength = RTA_LENGTH(length);
    auto* attribute =
        reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request) +
                                  NLMSG_ALIGN(request.header.nlmsg_len));
    attribute->rta_type = type;
    attribute->rta_len = static_cast<unsigned short>(attributeLength);
    if (length > 0) {
        std::memcpy(RTA_DATA(attribute), data, length);
    }
    request.header.nlmsg_len = NLMSG_ALIGN(request.header.nlmsg_len) + RTA_ALIGN(attributeLength);
    return attribute;
}

// Sends one request and waits for its acknowledgement. Returns 0 or an errno value.
int Transact(int fd, LinkRequest& request) {
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd, &request, request.header.nlmsg_len, 0,
               reinterpret_cast<sockaddr*>(&kernel), sizeof(kernel)) < 0) {
        return errno;
    }
    char answer[4096];
    const ssize_t n = recv(fd, answer, sizeof(answer), 0);
    if (n < 0) {
        return errno;
    }
    auto* reply = reinterpret_cast<nlmsghdr*>(answer);
    if (!NLMSG_OK(reply, static_cast<unsigned>(n)) || reply->nlmsg_type != NLMSG_ERROR) {
        return EPROTO;
    }
    return -static_cast<nlmsgerr*>(NLMSG_DATA(reply))->error;
}

LinkRequest NewLinkRequest(unsigned short flags, unsigned sequence) {
    LinkRequest request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    request.header.nlmsg_type = RTM_NEWLINK;
    request.header.nlmsg_flags = static_cast<unsigned short>(NLM_F_REQUEST | NLM_F_ACK | flags);
    request.header.nlmsg_seq = sequence;
    request.info.ifi_family = AF_UNSPEC;
    return request;
}

}  // namespace

int main(int argc, char** argv) {
    const char* name = argc > 1 ? argv[1] : "can0";
    if (std::strlen(name) >= IFNAMSIZ) {
        std::fprintf(stderr, "vcan_up: interface name too long: %s\n", name);
        return 2;
    }
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        std::perror("vcan_up: netlink socket");
        return 1;
    }

    LinkRequest create = NewLinkRequest(NLM_F_CREATE | NLM_F_EXCL, 1);
    AddAttribute(create, IFLA_IFNAME, name, std::strlen(name) + 1);
    rtattr* linkInfo = AddAttribute(create, IFLA_LINKINFO, nullptr, 0);
    AddAttribute(create, IFLA_INFO_KIND, "vcan", 4);
    linkInfo->rta_len = static_cast<unsigned short>(
        reinterpret_cast<char*>(&create) + create.header.nlmsg_len -
        reinterpret_cast<char*>(linkInfo));
    int error = Transact(fd, create);
    if (error != 0) {
        std::fprintf(stderr, "vcan_up: creating %s failed: %s\n", name, std::strerror(error));
        close(fd);
        return 1;
    }

    LinkRequest up = NewLinkRequest(0, 2);
    up.info.ifi_flags = IFF_UP;
    up.info.ifi_change = IFF_UP;
    AddAttribute(up, IFLA_IFNAME, name, std::strlen(name) + 1);
    error = Transact(fd, up);
    close(fd);
    if (error != 0) {
        std::fprintf(stderr, "vcan_up: setting %s up failed: %s\n", name, std::strerror(error));
        return 1;
    }
    std::printf("vcan_up: %s is up\n", name);
    return 0;
}
