// Feeds arbitrary bytes as a notification to ServiceRegistryObserverInvoker::handleMessage. The
// observer must be told exactly one name when the bytes decode to a newServiceIfcRegistered
// request carrying an "interface" string, and nothing otherwise; the invoker never answers and
// always deletes the response it is handed. The bytes, as the binary protocol adapter reads
// them: what decodes must encode again to the very same bytes (every Method has one encoding)
// and decode again to an equal Method.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "BinaryCodec.h"
#include "CountingResponse.h"
#include "FuzzSupport.h"
#include "LoopbackFramework.h"
#include "Method.h"
#include "RecordingObserver.h"
#include "ServiceRegistryObserverInvoker.h"

namespace {

// The name a correct invoker passes on for these bytes, if any.
bool expectedName(const std::string& bytes, std::string& name) {
    Method method;
    if (!decode(bytes, method)) return false;
    Method again;
    if (encode(method) != bytes || !decode(bytes, again) || again != method) std::abort();
    return method.getName() == "newServiceIfcRegistered" &&
           method.getStringParameter("interface", name, Parameter::IN);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    logEverythingQuietly();
    if (size > INT32_MAX) return 0;
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    LoopbackFramework framework;
    std::unique_ptr<Invoker> invoker(createServiceRegistryObserverInvoker());
    invoker->initInvoker(&framework);
    ExecutableObserver observer;
    ResponseLog log;
    handOver(*invoker, &observer, bytes, log);

    if (log.deletions != 1 || log.replies != 0) std::abort();
    std::string name;
    const std::vector<std::string> expected =
        expectedName(bytes, name) ? std::vector<std::string>{name} : std::vector<std::string>{};
    if (observer.names() != expected) std::abort();
    return 0;
}
