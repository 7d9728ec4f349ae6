// Lines of one installation talking to each other through the real program:
// messages through a line's queue and a process-wide queue, shared values,
// ACD groups and inter-line calls, every result printed by the scripts.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/e2e/harness.h"

namespace {

// Runs the scripts on virtual lines (line -> script text; lines without one
// have no script instance) and compares each line's printed output, which
// ends with "END".
void RunLines(const std::string& cfgExtra, int lineCount, const std::map<int, std::string>& scripts,
              const std::map<int, std::string>& expected) {
  e2e::Installation inst;
  inst.AddEnv("RODIZ_WAVE=fake");
  inst.AddEnv("RODIZ_WAVE_FAKE_DIR=" + inst.Path(""));
  std::string cfg = "IS_WRITE_LOG=1\nIS_IMMEDIATE_LOG=1\nLANGUAGE_TYPE=ENGLISH\n" + cfgExtra +
                    "VIR_LINES_NUM=" + std::to_string(lineCount) + "\n";
  for (const auto& [line, text] : scripts) {
    const std::string file = "l" + std::to_string(line) + ".kxs";
    cfg += std::to_string(line) + " = " + file + "\n";
    inst.Write(file, text);
  }
  inst.Write("RoDizRun.cfg", cfg);
  ASSERT_GT(inst.Start(), 0);
  for (const auto& [line, want] : expected) {
    const std::string out = "_stdout" + std::to_string(line) + ".txt";
    std::string got;
    const bool done = e2e::WaitFor(
        [&] {
          got = inst.Read(out);
          return got.find("END\n") != std::string::npos;
        },
        60000);
    EXPECT_TRUE(done) << "line " << line << ":\n"
                      << got << inst.LogText() << inst.Read("errmsg" + std::to_string(line) + ".txt");
    EXPECT_EQ(got, want) << "line " << line;
  }
  EXPECT_EQ(inst.Stop(), 0);
}

// Line 0: its own queues (addressing, orders, counting, reading, clearing),
// then a message to line 1 answered through a global queue, shared values
// of line 1 and the ACD groups line 1 serves too.
const char* const kLine0 = R"(s = 0
k = 0
f = 0
n = 0
got = 0
v = 0
t = ""
m = 0
w = 0
a = 0
ready = 0
r = SendMsg(0, 64, "k", 1)
Print("queue 64 " + r + "\n")
r = SendMsg(3, 0, "k", 1)
Print("line 3 " + r + "\n")
r = SendMsg(2, 0, "k", 1)
Print("line 2 " + r + "\n")
r = GetMsgNum(3, 0, n)
Print("count line 3 " + r + "\n")
r = SetMsgOrderBy(0, 5, 0, 1)
r = SetMsgField(0, 1)
r = SendMsg(0, 5, "a", 1)
r = SetMsgField(0, 3)
r = SendMsg(0, 5, "b", 1)
r = SetMsgField(0, 2)
r = SendMsg(0, 5, "c", 1)
r = ReadMsgFor(0, 5, -2, 0, 0, t)
Print("desc " + r + " " + t + "\n")
r = ClearMsg(0, 5)
Print("cleared " + r + "\n")
r = SetMsgOrderBy(0, 6, 0, 0)
r = SetMsgOrderBy(0, 6, 1, 1)
r = SetMsgField(0, 2)
r = SetMsgField(1, 1)
r = SendMsg(0, 6, "p", 2)
r = SetMsgField(0, 1)
r = SendMsg(0, 6, "q", 2)
r = SetMsgField(0, 2)
r = SetMsgField(1, 5)
r = SendMsg(0, 6, "r", 2)
r = ReadMsgFor(0, 6, -2, 0, -1, t)
Print("two columns " + t + "\n")
r = SetMsgOrderBy(0, 6, 0, -1)
r = SetMsgOrderBy(0, 6, 1, -1)
r = SetMsgOrderBy(0, 6, -1, 1)
r = SendMsg(0, 6, "a", 0)
r = ReadMsgFor(0, 6, -2, 0, -1, t)
Print("key desc " + r + " " + t + "\n")
r = SendMsg(0, 6, "z", 0)
Print("full " + r + "\n")
r = GetMsgNumForType(0, 6, "q", n)
Print("num for key " + r + " " + n + "\n")
r = GetMsgNumForField(0, 6, 0, 2, n)
Print("num for field " + r + " " + n + "\n")
r = CountMsg(0, 6, 0, m)
Print("count by value " + r + " " + m[2] + "\n")
r = ReadMsg(0, 6, -2, "p", s, k)
v = GetMsgFieldVal(1)
Print("read " + r + " " + s + " " + k + " " + v + "\n")
r = WriteMsg(0, 6, -2, "p", 1, 7)
Print("write " + r + "\n")
r = RecvMsgForField(0, 6, 1, 7, s, k, f, n, got)
Print("recv field " + r + " " + k + " " + f + " " + n + " " + got + "\n")
r = RecvMsgForType(0, 6, "a", s, f, n, got)
Print("recv key " + r + " " + n + "\n")
r = RecvMsgFor2Field(0, 6, -1, "q", 0, 0, 1, s, k, f, n, got)
Print("recv two " + r + " " + k + "\n")
r = ClearMsgFrom(0, 6, 0)
Print("clear from " + r + "\n")
r = RecvMsg(0, 6, s, k, f, n, got)
Print("empty " + r + " " + got + "\n")
while (ready == 0)
{
  w = GetShareMem(-1, "ready", ready)
  w = Sleep(0.02)
}
r = SetMsgField(0, "hello")
r = SetMsgField(1, 42)
r = SendMsg(1, 1, "greet", 2)
Print("sent " + r + "\n")
got = 0
while (got == 0)
{
  r = RecvMsg(-1, 2, s, k, f, n, got)
  w = Sleep(0.02)
}
v = GetMsgFieldVal(1)
Print("reply " + s + " " + k + " " + f + " " + n + " " + v + "\n")
r = FindShareMem("state", 0, 1)
Print("find " + r + "\n")
r = FindShareMem("state", 0, 1)
Print("find again " + r + "\n")
r = IncShareMem(1, 7, 5, v)
Print("inc " + r + " " + v + "\n")
r = DecShareMem(1, 7, 1, v)
Print("dec " + r + " " + v + "\n")
r = GetShareMem(1, 2.5, v)
Print("double key " + r + " " + v + "\n")
r = GetShareMem(1, "2.5", v)
Print("text key " + r + "\n")
r = GetShareMem(2, 7, v)
Print("no script " + r + "\n")
r = GetShareMem(3, 7, v)
Print("past the last " + r + "\n")
r = AccShareMem(-1, "ready", v, 2)
Print("acc " + r + " " + v + "\n")
r = SetMsgField(0, "first")
r = AcdListSend("A", 1)
w = Sleep(0.05)
r = SetMsgField(0, "second")
r = AcdListSend("B", 1)
r = AcdListNum("A")
Print("acd num " + r + "\n")
r = SetShareMem(-1, "acd", 1)
while (a < 2)
{
  w = GetShareMem(-1, "acd", a)
  w = Sleep(0.02)
}
r = AcdListRead()
v = GetMsgFieldVal(0)
Print("acd read " + r + " " + v + "\n")
r = AcdListRecv(0, "second")
Print("acd recv " + r + "\n")
r = AcdListNum("B")
Print("acd gone " + r + "\n")
r = SetShareMem(-1, "acd", 3)
Print("END\n")
r = Sleep(0)
)";

const char* const kLine0Out = R"(queue 64 -1
line 3 -2
line 2 -3
count line 3 -2
desc 3 3,2,1
cleared 3
two columns q,r,p
key desc 4 r,q,p,a
full 0
num for key 1 1
num for field 2 2
count by value 2 2
read 1 0 p 1
write 1
recv field 1 p 2 2 1
recv key 1 0
recv two 1 q
clear from 1
empty 0 0
sent 1
reply 1 ack hello! 2 43
find 1
find again -1
inc 0 15
dec 0 14
double key 1 d
text key -1
no script -2
past the last -2
acc 1 1
acd num 1
acd read 1 second
acd recv 1
acd gone 0
END
)";

const char* const kLine1 = R"(s = 0
k = 0
f = 0
n = 0
got = 0
v = 0
a = 0
w = 0
r = SetShareMem(1, "state", 0)
r = SetShareMem(1, 7, 10)
r = SetShareMem(1, 2.5, "d")
r = SetShareMem(-1, "ready", 1)
while (got == 0)
{
  r = RecvMsg(1, 1, s, k, f, n, got)
  w = Sleep(0.02)
}
v = GetMsgFieldVal(1)
Print("got " + s + " " + k + " " + f + " " + n + " " + v + "\n")
r = SetMsgField(0, f + "!")
r = SetMsgField(1, v + 1)
r = SendMsg(-1, 2, "ack", 2)
Print("replied " + r + "\n")
while (a == 0)
{
  w = GetShareMem(-1, "acd", a)
  w = Sleep(0.02)
}
r = AcdListRead()
v = GetMsgFieldVal(0)
Print("acd read " + r + " " + v + "\n")
r = SetShareMem(-1, "acd", 2)
while (a < 3)
{
  w = GetShareMem(-1, "acd", a)
  w = Sleep(0.02)
}
r = AcdListRecv(0, "first")
Print("acd recv " + r + "\n")
r = AcdListNum("A")
Print("acd gone " + r + "\n")
Print("END\n")
r = Sleep(0)
)";

const char* const kLine1Out = R"(got 0 greet hello 2 42
replied 1
acd read 1 first
acd recv 1
acd gone 0
END
)";

TEST(LinesTalk, MessagesSharedValuesAndAcdBetweenLines) {
  RunLines("MAX_MSG_NUM=3\n", 3, {{0, kLine0}, {1, kLine1}}, {{0, kLine0Out}, {1, kLine1Out}});
}

// Line 0 calls functions that line 1 serves on queue 3.
const char* const kCaller = R"(cb = 1
res = 0
x = 0
w = 0
ready = 0
function add3(a, b, c)
{
  res = 0
  r = InterLineCall(3, 5, cb, res)
  Print("add3 " + r + " " + res + " " + a + " " + b + " " + c + "\n")
  return(r)
}
function nofn(a)
{
  r = InterLineCall(3, 5, 0, res)
  return(r)
}
function two(a, b)
{
  r = InterLineCall(3, 5, 0, res)
  return(r)
}
function slow(a)
{
  r = InterLineCall(3, 1, 0, res)
  return(r)
}
function lonely(a)
{
  r = InterLineCall(9, 1, 0, res)
  return(r)
}
function badq(a)
{
  r = InterLineCall(64, 1, 0, res)
  return(r)
}
r = InterLineCall(3, 1, 0, res)
Print("main body " + r + "\n")
while (ready == 0)
{
  w = GetShareMem(-1, "server", ready)
  w = Sleep(0.02)
}
x = add3(1, 2, 3)
cb = 0
x = add3(1, 2, 3)
x = nofn(1)
Print("no function " + x + "\n")
x = two(1, 2)
Print("argument count " + x + "\n")
x = badq(1)
Print("bad queue " + x + "\n")
x = lonely(1)
Print("time-out " + x + "\n")
x = slow(5)
Print("late " + x + "\n")
cb = 1
x = add3(1, 2, 3)
r = SetShareMem(-1, "check9", 1)
Print("END\n")
r = Sleep(0)
)";

const char* const kCallerOut = R"(main body -1
add3 1 4 1 9 3
add3 1 4 1 2 3
no function -3
argument count -3
bad queue -2
time-out -4
late -4
add3 1 4 1 9 3
END
)";

const char* const kServer = R"(served = 0
done = 0
w = 0
function add3(a, b, c)
{
  b = 9
  return(a + c)
}
function two(a, b, c)
{
  return(0)
}
function slow(a)
{
  z = Sleep(1.5)
  return(a + 100)
}
r = SetShareMem(-1, "server", 1)
while (done == 0)
{
  r = InterLineServer(3)
  served = served + r
  w = GetShareMem(-1, "check9", done)
  w = Sleep(0.01)
}
r = InterLineServer(9)
Print("served " + served + " withdrawn " + r + "\n")
r = InterLineServer(64)
Print("bad queue " + r + "\n")
Print("END\n")
r = Sleep(0)
)";

const char* const kServerOut = R"(served 6 withdrawn 0
bad queue -1
END
)";

TEST(LinesTalk, InterLineCalls) {
  RunLines("", 2, {{0, kCaller}, {1, kServer}}, {{0, kCallerOut}, {1, kServerOut}});
}

// The server line's message record holds the request while the function
// runs (field 0 the copy-back flag, then the arguments) and the reply after
// it (field 0 the status, then the arguments as the function left them).
const char* const kRecordCaller = R"(res = 0
w = 0
ready = 0
function twice(a, b)
{
  r = InterLineCall(5, 5, 1, res)
  Print("call " + r + " " + res + " " + a + " " + b + "\n")
  return(r)
}
while (ready == 0)
{
  w = GetShareMem(-1, "server", ready)
  w = Sleep(0.02)
}
x = twice(7, 8)
Print("END\n")
r = Sleep(0)
)";

const char* const kRecordServer = R"(f0 = 0
f1 = 0
f2 = 0
w = 0
function twice(a, b)
{
  w = GetMsgField(0, f0)
  w = GetMsgField(1, f1)
  Print("request " + f0 + " " + f1 + "\n")
  b = a * 2
  return(a + b)
}
r = SetMsgField(0, "mine")
r = SetMsgField(1, "mine")
r = SetShareMem(-1, "server", 1)
r = 0
while (r == 0)
{
  r = InterLineServer(5)
  w = Sleep(0.01)
}
w = GetMsgField(0, f0)
w = GetMsgField(1, f1)
w = GetMsgField(2, f2)
Print("served " + r + " reply " + f0 + " " + f1 + " " + f2 + "\n")
Print("END\n")
r = Sleep(0)
)";

TEST(LinesTalk, TheServerWorksInItsMessageRecord) {
  RunLines("", 2, {{0, kRecordCaller}, {1, kRecordServer}},
           {{0, "call 1 21 7 14\nEND\n"}, {1, "request 1 7\nserved 1 reply 0 7 14\nEND\n"}});
}

// Four lines at once, each sending 200 numbered messages to the next line's
// queue while it takes those of the line before from its own.
const char* const kRing = R"(s = 0
k = 0
f = 0
n = 0
got = 0
w = 0
r = 0
sum = 0
recv = 0
bad = 0
i = 0
next = _lineNo + 1
if (next == 4)
{
  next = 0
}
while (recv + i < 400)
{
  if (i < 200)
  {
    r = SetMsgField(0, i)
    r = SendMsg(next, 0, "n", 1)
    if (r > 0)
    {
      i = i + 1
    }
  }
  r = RecvMsg(_lineNo, 0, s, k, f, n, got)
  if (got == 1)
  {
    if (f != recv)
    {
      bad = bad + 1
    }
    recv = recv + 1
    sum = sum + f
  }
  if (got == 0)
  {
    w = Sleep(0.005)
  }
}
Print("sent " + i + " received " + recv + " sum " + sum + " out of order " + bad + "\n")
Print("END\n")
r = Sleep(0)
)";

TEST(LinesTalk, FourLinesSendAndReceiveAtOnce) {
  const std::string out = "sent 200 received 200 sum 19900 out of order 0\nEND\n";
  RunLines("", 4, {{0, kRing}, {1, kRing}, {2, kRing}, {3, kRing}}, {{0, out}, {1, out}, {2, out}, {3, out}});
}

}  // namespace
