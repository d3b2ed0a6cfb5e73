// Each call an invoker handles decodes and encodes on streams that behave as new, whatever the
// protocol adapter did to the streams of the call before on the same thread.
#include <gtest/gtest.h>

#include <iostream>
#include <locale>
#include <memory>
#include <sstream>

#include "AdapterOnlyFramework.h"
#include "BinaryCodec.h"
#include "CountingResponse.h"
#include "MethodText.h"
#include "RecordingObserver.h"
#include "ServiceRegistry.h"
#include "ServiceRegistryInvoker.h"
#include "ServiceRegistryObserverInvoker.h"

namespace {

const int kUserWord = std::ios_base::xalloc();

// Everything of a stream's state that a new stream has and an adapter might change.
bool looksNew(std::stringstream& stream) {
    const std::stringstream reference(std::ios::in | std::ios::out);
    return stream.flags() == reference.flags() && stream.fill() == reference.fill() &&
           stream.precision() == reference.precision() && stream.width() == reference.width() &&
           stream.exceptions() == reference.exceptions() && stream.tie() == reference.tie() &&
           stream.getloc() == reference.getloc() && stream.iword(kUserWord) == 0 &&
           stream.pword(kUserWord) == nullptr && stream.std::ios::rdbuf() == stream.rdbuf();
}

// Changes every piece of state that looksNew checks, without touching the bytes.
void spoil(std::stringstream& stream) {
    static std::stringbuf elsewhere;
    stream.setf(std::ios::hex | std::ios::uppercase | std::ios::showbase, std::ios::basefield);
    stream.fill('*');
    stream.precision(2);
    stream.width(9);
    stream.tie(&std::cout);
    stream.imbue(std::locale(std::locale::classic(), new std::numpunct<char>()));
    stream.iword(kUserWord) = 42;
    stream.pword(kUserWord) = &stream;
    stream.exceptions(std::ios::badbit);
    stream.std::ios::rdbuf(&elsewhere);
}

// The binary adapter, refusing to work on a stream that does not look new and spoiling every
// stream it has worked on: the way an adapter that reads a hex field would leave one.
class SpoilingAdapter final : public ProtocolAdapter {
public:
    void encode(Method& method, std::stringstream& out) override {
        if (!looksNew(out)) ++usedStreams;
        inner.encode(method, out);
        spoil(out);
    }
    bool decode(std::stringstream& in, Method& method) override {
        if (!looksNew(in)) {
            ++usedStreams;
            return false;
        }
        const bool decoded = inner.decode(in, method);
        spoil(in);
        return decoded;
    }

    int usedStreams = 0;

private:
    BinaryProtocolAdapter inner;
};

}  // namespace

// Both invokers, called in turn on one thread, answer and deliver the same way every time.
TEST(StreamState, InvokersHandleTheSameCallTheSameWayEveryTime) {
    SpoilingAdapter adapter;
    AdapterOnlyFramework framework(adapter);
    ServiceRegistry registry;
    registry.registerSvcInterface("A", "c");
    ExecutableObserver observer;
    std::unique_ptr<Invoker> registryInvoker(createServiceRegistryInvoker());
    std::unique_ptr<Invoker> observerInvoker(createServiceRegistryObserverInvoker());
    registryInvoker->initInvoker(&framework);
    observerInvoker->initInvoker(&framework);

    Method request("findSvcInterface", Method::REQUEST);
    request.addStringParameter("ifc", "A", Parameter::IN);
    Method notification("newServiceIfcRegistered", Method::REQUEST);
    notification.addStringParameter("interface", "A", Parameter::IN);
    const std::string requestBytes = encode(request), notificationBytes = encode(notification);
    for (int call = 0; call < 3; ++call) {
        SCOPED_TRACE(call);
        ResponseLog log;
        registryInvoker->handleMessage(&registry, requestBytes.data(),
                                       static_cast<int>(requestBytes.size()),
                                       new CountingResponse(log));
        observerInvoker->handleMessage(&observer, notificationBytes.data(),
                                       static_cast<int>(notificationBytes.size()),
                                       new CountingResponse(log));
        ASSERT_EQ(log.replies, 1);
        Method reply;
        ASSERT_TRUE(decode(log.reply, reply));
        EXPECT_EQ(describe(reply), "findSvcInterface reply channel:out='c' result:out=true");
    }
    EXPECT_EQ(observer.names(), (std::vector<std::string>{"A", "A", "A"}));
    EXPECT_EQ(adapter.usedStreams, 0);
}
