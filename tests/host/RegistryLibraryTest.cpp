#include "ServiceRegistry/RegistryLibrary.h"

#include <gtest/gtest.h>

using namespace svcreg;

namespace {

TEST(RegistryLibrary, LoadsAllFiveFactoriesOrNamesWhatIsMissing) {
    RegistryLibrary library;
    const Outcome loaded = library.load(SERVICE_REGISTRY_LIBRARY);
    ASSERT_TRUE(loaded) << loaded.reason();
    EXPECT_NE(library.createServiceRegistry, nullptr);
    EXPECT_NE(library.createServiceRegistryInvoker, nullptr);
    EXPECT_NE(library.createServiceRegistryProxy, nullptr);
    EXPECT_NE(library.createServiceRegistryObserverProxy, nullptr);
    EXPECT_NE(library.createServiceRegistryObserverInvoker, nullptr);

    RegistryLibrary wrongLibrary;
    const Outcome lacking = wrongLibrary.load(FRAMEWORK_LIBRARY);
    EXPECT_EQ(lacking, Status::CannotStart);
    EXPECT_EQ(lacking.reason(),
              std::string("'") + FRAMEWORK_LIBRARY + "' has no symbol 'createServiceRegistry'");

    RegistryLibrary noFile;
    const Outcome absent = noFile.load("/nonexistent/libServiceRegistry.so.1");
    EXPECT_EQ(absent, Status::CannotStart);
    EXPECT_EQ(absent.reason().rfind("cannot load '/nonexistent/libServiceRegistry.so.1': ", 0), 0u)
        << absent.reason();
}

}  // namespace
