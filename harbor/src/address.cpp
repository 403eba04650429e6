#include <harbor/harbor.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace harbor {

CTSocketAddress::CTSocketAddress(const std::string& host, unsigned int port) : host_(host), port_(port) {}

void CTSocketAddress::setAddress(const std::string& host) { host_ = host; }

void CTSocketAddress::setPort(unsigned int port) { port_ = port; }

bool CTSocketAddress::isValid() const {
    if (host_.empty() || port_ == 0 || port_ > 65535) return false;
    boost::system::error_code error;
    boost::asio::ip::make_address(host_, error);
    if (!error) return true;
    boost::asio::io_context context;
    boost::asio::ip::tcp::resolver resolver(context);
    auto results = resolver.resolve(host_, std::to_string(port_), error);
    return !error && !results.empty();
}

int CTSocketAddress::literalFamily() const {
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(host_, error);
    if (error) return 0;
    return address.is_v6() ? 6 : 4;
}

std::string CTSocketAddress::canonicalAddress() const {
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(host_, error);
    return error ? std::string() : address.to_string();
}

}  // namespace harbor
