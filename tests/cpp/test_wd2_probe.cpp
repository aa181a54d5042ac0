// The WD2 layout probe's failures.
#include <cerrno>
#include <variant>

#include "harness.hpp"

namespace {

TEST(wd2_probe_error_is_returned)
{
    injected_errnos = {EIO};
    auto probed = open_wd2(write_file("wd2-probe-eio", wd2_event(1, 1, 2)));
    CHECK(std::holds_alternative<vesk::IoError>(probed));
    CHECK(std::get<vesk::IoError>(probed).os_errno() == EIO);
    reset_syscalls();
}

}  // namespace
