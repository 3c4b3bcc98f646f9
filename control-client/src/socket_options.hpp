// Socket options shared by both connection kinds.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <boost/asio/ip/tcp.hpp>

namespace fenwix::detail {

// TCP keepalive, tuned so that a peer that vanished without closing (a switch
// host that lost power, a NAT that dropped the flow) is noticed in about a
// minute instead of the kernel's default two hours.
inline void enable_keepalive(boost::asio::ip::tcp::socket& socket) {
  boost::system::error_code ignored;
  socket.set_option(boost::asio::socket_base::keep_alive(true), ignored);
  const int fd = socket.native_handle();
  const int idle = 30, interval = 10, count = 3;
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

}  // namespace fenwix::detail
