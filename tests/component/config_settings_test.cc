// Configuration settings through the Config method: defaults, parsing, bounds and refusals.
#include <gtest/gtest.h>

#include <string>

#include "test_host.h"

namespace ostrasync::testing {
namespace {

TEST(ConfigSettingsTest, DefaultsAsANewComponentReportsThem) {
  TestHost host;
  const std::pair<const char*, const char*> defaults[] = {
      {"AvoidFiringEventsForMethods", "True"}, {"DownloadNewFiles", "False"}, {"LogLevel", "3"},
      {"OnlineOnly", "False"}, {"EventRetryInterval", "1000"}, {"PendingTaskTimeout", "0"},
      {"ExcludedFiles", ""}, {"ExcludeHiddenFiles", "True"}, {"ExcludeTemporaryFiles", "False"},
      {"ItemDomain", ""}, {"ResetPinnedFiles", "False"}, {"SerializeEvents", "False"},
      {"WaitForInstallToComplete", "1000"}, {"PendingOpsProcessingBatchSize", "10000"},
      {"TrackOfficeLockFiles", "False"}, {"WindowsRegistrationProviderName", "Kelvo"},
      {"WindowsRegistrationProviderVersion", "1.0.0.0"}, {"WindowsCreatePlaceholdersOnDemand", "False"},
      {"CodePage", "65001"}, {"CharsetMode", "0"}, {"AllInMainThread", "0"}, {"LogDebugOption", "0"},
      {"AllowSHA1InFIPS", "True"}, {"ZeroMemory", "False"}, {"StatPendingTasks", "0"},
      {"PendingOperationCount", "0"}, {"OSLastError", "0"},
  };
  for (const auto& [name, value] : defaults) EXPECT_EQ(host.Query(name), value) << name;
}

TEST(ConfigSettingsTest, ValuesAreParsedAsHostsWriteThem) {
  TestHost host;
  EXPECT_EQ(host.Config("loglevel = 4"), 0);
  EXPECT_EQ(host.Query("LogLevel"), "4");
  EXPECT_EQ(host.Config("LogLevel=3"), 0);
  for (const char* yes : {"yes", "1", "TRUE", "True"}) {
    ASSERT_EQ(host.Config(std::string("ExcludeHiddenFiles=") + yes), 0);
    EXPECT_EQ(host.Query("ExcludeHiddenFiles"), "True") << yes;
    ASSERT_EQ(host.Config("ExcludeHiddenFiles=on"), 0);
    EXPECT_EQ(host.Query("ExcludeHiddenFiles"), "False");
  }
  EXPECT_EQ(host.Config("PendingTaskTimeout=0x10"), 0);
  EXPECT_EQ(host.Query("PendingTaskTimeout"), "16");
  EXPECT_EQ(host.Config("ItemDomain=\"  inner  spaces \""), 0);
  EXPECT_EQ(host.Query("ItemDomain"), "  inner  spaces ");
  EXPECT_EQ(host.Config("ItemDomain=\""), 0);  // a lone quote is an empty value, not a crash
  EXPECT_EQ(host.Query("ItemDomain"), "");
  EXPECT_EQ(host.Config("ExcludedFiles=*.tmp;~$*"), 0);
  EXPECT_EQ(host.Query("excludedfiles"), "*.tmp;~$*");
  EXPECT_EQ(host.Config("LogDebugOption=-1"), 0);
  EXPECT_EQ(host.Query("LogDebugOption"), "4294967295");
}

TEST(ConfigSettingsTest, NumbersOutsideTheIntRangeChangeNothing) {
  TestHost host;
  ASSERT_EQ(host.Config("PendingTaskTimeout=2147483"), 0);
  // Seconds to milliseconds must not wrap in 32 bits.
  EXPECT_EQ(host.engine().settings().PendingTaskTimeoutMs(), int64_t{2147483} * 1000);
  for (const char* text : {"PendingTaskTimeout=99999999999", "PendingTaskTimeout=0x100000000",
                           "PendingTaskTimeout[99999999999]=1", "EventRetryInterval=-2147483649"}) {
    EXPECT_EQ(host.Config(text), 0x21000004) << text;
    EXPECT_EQ(host.last_error(), "Invalid input parameter");
  }
  EXPECT_EQ(host.Query("PendingTaskTimeout"), "2147483");
  EXPECT_EQ(host.Query("EventRetryInterval"), "1000");
}

TEST(ConfigSettingsTest, CodePageAcceptsOnlyWhatTheConvertersUse) {
  TestHost host;
  EXPECT_EQ(host.Config("CodePage=12345"), 0x21000004);
  EXPECT_EQ(host.Config("CodePage=-3"), 0x21000004);
  EXPECT_EQ(host.Query("CodePage"), "65001");
  EXPECT_EQ(host.Config("CodePage=0"), 0);
  EXPECT_EQ(host.Config("CodePage=1252"), 0);
  EXPECT_EQ(host.Query("CodePage"), "1252");
}

TEST(ConfigSettingsTest, SomeSettingsAreLockedWhileTheEngineRuns) {
  TestHost host;
  engine::SyncEngineTestPeer::SetActive(host.engine(), true);
  for (const char* text : {"SerializeEvents=1", "AvoidFiringEventsForMethods=0", "ItemDomain=x"}) {
    EXPECT_EQ(host.Config(text), 0x21000003) << text;
    EXPECT_EQ(host.last_error(), "The sync operation has already been started");
  }
  EXPECT_EQ(host.Query("SerializeEvents"), "False");
  EXPECT_EQ(host.Query("ItemDomain"), "");
  EXPECT_EQ(host.Config("OnlineOnly=1"), 0);  // the others take effect at the next activation
  engine::SyncEngineTestPeer::SetActive(host.engine(), false);
}

TEST(ConfigSettingsTest, ProviderNameAndVersionAreLimitedTo255Units) {
  TestHost host;
  const std::string longest(255, 'n');
  EXPECT_EQ(host.Config("WindowsRegistrationProviderName=" + longest), 0);
  EXPECT_EQ(host.Config("WindowsRegistrationProviderVersion=" + std::string(256, 'v')), 0x21000004);
  EXPECT_EQ(host.last_error(),
            "The Windows registration provider name or version the maximum length of 255 characters");
  EXPECT_EQ(host.Query("WindowsRegistrationProviderName"), longest);
  EXPECT_EQ(host.Query("WindowsRegistrationProviderVersion"), "1.0.0.0");
}

TEST(ConfigSettingsTest, ProviderIdentityFallsBackToTheLabel) {
  TestHost host;
  OstraSync_Kelvo_Set(host.handle(), 3, 0, "Contoso Drive");
  EXPECT_EQ(host.Query("WindowsStorageProviderId"), "Contoso Drive");
  EXPECT_EQ(host.Query("WindowsStorageProviderAccount"), "Contoso Drive");
  ASSERT_EQ(host.Config("WindowsStorageProviderAccount=alice@example.com"), 0);
  EXPECT_EQ(host.Query("WindowsStorageProviderAccount"), "alice@example.com");
}

TEST(ConfigSettingsTest, OsErrorIsHandedOverOnceAndWritesDoNotReset) {
  TestHost host;
  host.engine().SetOsLastError(0x80070005);
  EXPECT_EQ(host.Config("OSLastError=0"), 0);
  EXPECT_EQ(host.Query("OSLastError"), "2147942405");
  EXPECT_EQ(host.Query("WindowsLastError"), "0");
  host.engine().SetOsLastError(5);
  EXPECT_EQ(host.Query("WindowsLastError"), "5");
  EXPECT_EQ(host.Query("OSLastError"), "0");
}

TEST(ConfigSettingsTest, LastErrorSettingReadsTheThreadsText) {
  TestHost host;
  OstraSync_Kelvo_SetLastErrorAndCode(host.handle(), 3, "something broke");
  EXPECT_EQ(host.Query("LastError"), "something broke");
  EXPECT_EQ(host.Config("LastError=ignored"), 0);
}

}  // namespace
}  // namespace ostrasync::testing
