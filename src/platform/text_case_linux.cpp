#include <boost/locale.hpp>

#include "platform/text_case.h"

namespace talkhub::platform {

std::string foldCase(const std::string& text) {
    static const std::locale utf8 = boost::locale::generator()("en_US.UTF-8");
    return boost::locale::fold_case(text, utf8);
}

}  // namespace talkhub::platform
