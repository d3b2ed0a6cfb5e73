#include "PendingReplies.h"

#include <memory>

#include <gtest/gtest.h>

#include "Connection.h"

using namespace svcreg;

namespace {

// A connection that is never read or written: the pending replies only tell connections apart.
std::unique_ptr<Connection> aConnection() {
    return std::make_unique<Connection>(UniqueFd(), -1, "peer", PeerCredentials(),
                                        std::make_shared<ConnectionBudgets>(ConnectionLimits()));
}

// Each request takes its first reply from its own connection, an error, or the loss of that
// connection, and is forgotten once awaited. One attached to no connection yet has gone out on
// none: a reply from a connection is not its own.
TEST(PendingReplies, EachRequestTakesOnlyWhatIsItsOwn) {
    const std::unique_ptr<Connection> via = aConnection(), other = aConnection();
    PendingReplies pending;
    for (const std::int64_t id : {1, 2, 3, 4, 5, 6}) pending.expect(id);
    pending.fulfilOldest("oldest");  // a reply naming no request
    pending.attach(2, *via);
    pending.fulfil(2, other.get(), "from another connection");
    pending.fulfil(2, via.get(), "two");
    pending.fulfil(2, via.get(), "again");
    pending.refuse(3, "why");
    pending.attach(4, *via);
    pending.attach(5, *other);
    pending.lost(5);
    pending.fulfil(6, other.get(), "before it went out");
    pending.attach(6, *via);
    pending.fulfil(6, via.get(), "six");
    using WaitEnd = PendingReplies::WaitEnd;
    const std::pair<WaitEnd, std::string> ends[] = {
        {WaitEnd::Answered, "oldest"}, {WaitEnd::Answered, "two"},    {WaitEnd::Refused, "why"},
        {WaitEnd::TimedOut, ""},       {WaitEnd::ConnectionLost, ""}, {WaitEnd::Answered, "six"}};
    for (std::int64_t id = 1; id <= 6; ++id) {
        SCOPED_TRACE(id);
        std::string reply;
        const auto soon = [] {
            return std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
        };
        EXPECT_EQ(pending.settled(id), ends[id - 1].first != WaitEnd::TimedOut);
        EXPECT_EQ(pending.await(id, soon(), reply), ends[id - 1].first);
        EXPECT_EQ(reply, ends[id - 1].second);
        EXPECT_TRUE(pending.settled(id)) << "nothing to wait for once forgotten";
        EXPECT_EQ(pending.await(id, soon(), reply), WaitEnd::ConnectionLost)
            << "forgotten once awaited";
    }
}

}  // namespace
