#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "zarn/support/exceptions.h"

namespace {

using namespace Zarn::Support;

template <class Caught>
bool caught_as(const std::function<void()> &thrower) {
    try {
        thrower();
    } catch (const Caught &) {
        return true;
    } catch (...) {
        return false;
    }
    return false;
}

template <class E>
std::function<void()> thrower() {
    return [] { throw E(); };
}

TEST(Exceptions, CatchSitesFollowTheFamily) {
    struct Row {
        const char *name;
        std::function<void()> raise;
        bool generic, internal, external;
    } rows[] = {
        {"internal_error", thrower<internal_error>(), true, true, false},
        {"unsupported_error", thrower<unsupported_error>(), true, true, false},
        {"external_error", thrower<external_error>(), true, false, true},
        {"not_found_error", thrower<not_found_error>(), true, false, true},
        {"params_error", thrower<params_error>(), true, false, true},
        {"deny_error", thrower<deny_error>(), true, false, true},
        {"busy_error", thrower<busy_error>(), true, false, true},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(row.generic, caught_as<generic_error>(row.raise)) << row.name;
        EXPECT_EQ(row.internal, caught_as<internal_error>(row.raise)) << row.name;
        EXPECT_EQ(row.external, caught_as<external_error>(row.raise)) << row.name;
        EXPECT_TRUE(caught_as<std::exception>(row.raise)) << row.name;
    }
}

TEST(Exceptions, CarryNoData) {
    EXPECT_EQ(sizeof(void *), sizeof(busy_error));
    EXPECT_EQ(sizeof(void *), sizeof(unsupported_error));
    EXPECT_EQ(std::string(std::exception().what()), busy_error().what());
}

}  // namespace
