// Differential: the daemon's pipeline against the registry library it serves, with few service
// ids, so that they run out (see PipelineDifferential.h).

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "PipelineDifferential.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    logEverythingQuietly();
    static const std::string journal =
        "/tmp/pipeline_fuzzer." + std::to_string(getpid()) + ".journal";
    unlink(journal.c_str());
    const bool agreed = svcreg::PipelineDifferential(data, size, journal).run().empty();
    unlink(journal.c_str());
    if (!agreed) std::abort();
    return 0;
}
