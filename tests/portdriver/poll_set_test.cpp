// The driver's epoll set reports what poll() would, round after round, and watches a
// descriptor number that was closed and handed out again once it is told to rebuild.
#include "portdriver/poll_set.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

struct Pipe {
    int ends[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(ends), 0); }
    ~Pipe() {
        for (int end : ends)
            if (end >= 0)
                close(end);
    }
    void write(char c) { ASSERT_EQ(::write(ends[1], &c, 1), 1); }
};

// One round over the given descriptors; what each reported.
std::vector<short> round(portdriver::PollSet& set, std::vector<pollfd> fds, bool rebuild) {
    set.update(fds, rebuild);
    set.wait(fds, 0);
    std::vector<short> reported;
    for (const pollfd& request : fds)
        reported.push_back(request.revents);
    return reported;
}

TEST(PollSet, ReportsLikePollAndWatchesAReusedNumberAfterARebuild) {
    using Reported = std::vector<short>;
    portdriver::PollSet set;
    auto first = std::make_unique<Pipe>();
    int number = first->ends[0];
    int writeEnd = first->ends[1];
    EXPECT_EQ(round(set, {{number, POLLIN, 0}, {writeEnd, POLLOUT, 0}}, false),
              (Reported{0, POLLOUT}));
    first->write('a');
    EXPECT_EQ(round(set, {{number, POLLIN, 0}, {writeEnd, 0, 0}}, false), (Reported{POLLIN, 0}));

    // Between two rounds the read end goes and a new pipe gets its number: unchanged in
    // the set as far as the numbers go, so only a rebuild watches the new one.
    close(first->ends[0]);
    first->ends[0] = -1;
    Pipe second;
    ASSERT_EQ(second.ends[0], number);
    second.write('b');
    EXPECT_EQ(round(set, {{number, POLLIN, 0}}, true), (Reported{POLLIN}));
}

} // namespace
