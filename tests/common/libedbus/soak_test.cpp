// Ten thousand "cmd" calls through libdbus against one service, every kind
// of answer included. Built with AddressSanitizer and LeakSanitizer, so a
// leak or a bad access on any path of the envelope fails the run.
#include <string>
#include <vector>

#include "servicefixture.h"

namespace
{

class Soak : public ServiceTest
{
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        LogCapture::Install(false); // count lines, keep none
    }
};

TEST_F(Soak, TenThousandCallsAnswerCorrectly)
{
    struct Step {
        const char* pcRequest;
        const char* pcAnswer;
    };
    // One cycle walks every state and every error code of the envelope.
    const std::vector<Step> cycle = {
        {R"({"cmd":"getstatus"})", R"({"procstate":1})"},
        {R"({"cmd":"foo","x":[1,2,{"y":null}]})", R"({"err":107,"info":""})"},
        {R"(not json {)", R"({"err":106,"info":""})"},
        {R"({"command":"init"})", R"({"err":108,"info":""})"},
        {R"({"cmd":"setconfig"})", R"({"err":110,"info":""})"},
        {R"({"cmd":"init"})", R"({"err":0,"info":""})"},
        {R"({"cmd":"setconfig"})", R"({"err":0,"info":""})"},
        {R"({"cmd":"getstatus"})", R"({"procstate":3})"},
        {R"({"cmd":"setloglevel","level":"7"})", R"({"err":108,"info":""})"},
        {R"({"cmd":"setloglevel","level":7})", R"({"err":0,"info":""})"},
        {R"({"cmd":"deinit"})", R"({"err":0,"info":""})"},
    };
    BusClient client;
    ASSERT_TRUE(client.Connected());
    const int kCalls = 10000;
    int iWrong = 0;
    std::string sFirstWrong;
    for (int i = 0; i < kCalls; ++i) {
        const Step& step = cycle[static_cast<size_t>(i) % cycle.size()];
        std::string sAnswer = client.Cmd(step.pcRequest);
        if (sAnswer != step.pcAnswer) {
            if (iWrong++ == 0)
                sFirstWrong = std::to_string(i) + ": " + step.pcRequest + " -> " + sAnswer;
        }
    }
    EXPECT_EQ(iWrong, 0) << sFirstWrong;
    EXPECT_GE(LogCapture::Count(), static_cast<size_t>(kCalls) * 3);
    EXPECT_TRUE(service->Running());
}

} // namespace
