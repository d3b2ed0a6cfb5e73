#include "ServiceRegistry/RegistryLibrary.h"

#include <gtest/gtest.h>

using namespace svcreg;

namespace {

TEST(RegistryLibrary, LoadsAllFiveFactoriesOrNamesWhatIsMissing) {
    RegistryLibrary library;
    std::string error;
    ASSERT_TRUE(library.load(SERVICE_REGISTRY_LIBRARY, error)) << error;
    EXPECT_NE(library.createServiceRegistry, nullptr);
    EXPECT_NE(library.createServiceRegistryInvoker, nullptr);
    EXPECT_NE(library.createServiceRegistryProxy, nullptr);
    EXPECT_NE(library.createServiceRegistryObserverProxy, nullptr);
    EXPECT_NE(library.createServiceRegistryObserverInvoker, nullptr);

    RegistryLibrary wrongLibrary;
    EXPECT_FALSE(wrongLibrary.load(FRAMEWORK_LIBRARY, error));
    EXPECT_EQ(error,
              std::string("'") + FRAMEWORK_LIBRARY + "' has no symbol 'createServiceRegistry'");

    RegistryLibrary noFile;
    EXPECT_FALSE(noFile.load("/nonexistent/libServiceRegistry.so.1", error));
    EXPECT_EQ(error.rfind("cannot load '/nonexistent/libServiceRegistry.so.1': ", 0), 0u) << error;
}

}  // namespace
