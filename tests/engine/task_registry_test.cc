// The task registry on its own: ids, lookups, the balance of references and the pool.
#include "engine/task_registry.h"

#include <gtest/gtest.h>

#include "ostrasync.h"

namespace ostrasync::engine {
namespace {

TEST(TaskRegistryTest, IdsCountFromOneAndLookupsFollowTheRules) {
  TaskRegistry registry;
  TaskRef read = registry.Take(u"\\a.txt", u"C:\\Cloud\\a.txt", OperationType::kReadData);
  TaskRef list = registry.Take(u"\\a.txt", u"C:\\Cloud\\a.txt", OperationType::kList);
  EXPECT_EQ(registry.Register(read), 1);
  EXPECT_EQ(registry.Register(list), 2);
  EXPECT_EQ(read->key(), u"\\a.txt|R");
  EXPECT_NE(read->transfer_buffer(), nullptr);
  EXPECT_NE(list->enumeration_buffer(), nullptr);

  TaskRef found;
  EXPECT_EQ(registry.FindById(0, true, &found), OSTRASYNC_ERR_INVALID_OPID);
  EXPECT_EQ(registry.FindById(-1, true, &found), OSTRASYNC_ERR_INVALID_OPID);
  EXPECT_EQ(registry.FindById(3, true, &found), OSTRASYNC_ERR_INVALID_OPID);
  ASSERT_EQ(registry.FindByKey(u"\\a.txt", OperationType::kList, false, &found), 0);
  EXPECT_EQ(found.get(), list.get());
  EXPECT_EQ(registry.FindByKey(u"\\A.txt", OperationType::kList, false, &found), OSTRASYNC_ERR_INVALID_OPID)
      << "keys compare with regard to case";

  read->cancelled.store(true);
  EXPECT_EQ(registry.FindById(1, false, &found), OSTRASYNC_ERR_CANCELLED);
  EXPECT_FALSE(found);
  EXPECT_EQ(registry.FindByKey(u"\\a.txt", OperationType::kReadData, false, &found), OSTRASYNC_ERR_INVALID_OPID);
  ASSERT_EQ(registry.FindById(1, true, &found), 0);
  EXPECT_EQ(found.get(), read.get());

  // An OS callback's task gets its path and type only when its handler registers it.
  TaskRef callback = registry.Take(u"", u"", OperationType::kUndefined);
  EXPECT_EQ(registry.RegisterAs(callback, u"\\d", u"C:\\Cloud\\d", OperationType::kList), 3);
  EXPECT_EQ(callback->key(), u"\\d|L");
  EXPECT_NE(callback->enumeration_buffer(), nullptr);
  EXPECT_EQ(registry.Count(), 3u);
}

TEST(TaskRegistryTest, RemovalDropsOnlyTheRegistrysReference) {
  TaskRegistry registry;
  TaskRef task = registry.Take(u"\\x", u"C:\\Cloud\\x", OperationType::kWriteData);
  registry.Register(task);
  EXPECT_TRUE(task->registered.load());
  TaskRef lookup;
  ASSERT_EQ(registry.FindById(task->id(), false, &lookup), 0);

  EXPECT_TRUE(registry.Remove(task.get()));
  EXPECT_FALSE(task->registered.load());
  // Removing again, or removing what was never registered, drops nothing: the holders' references
  // stay good.
  EXPECT_FALSE(registry.Remove(task.get()));
  EXPECT_FALSE(registry.RemoveById(task->id()));
  TaskRef unregistered = registry.Take(u"", u"", OperationType::kUndefined);
  EXPECT_FALSE(registry.Remove(unregistered.get()));
  EXPECT_EQ(task->path(), u"\\x");
  EXPECT_EQ(registry.PoolSizeForTest(), 0u);

  lookup.reset();
  unregistered.reset();
  EXPECT_EQ(registry.PoolSizeForTest(), 1u);
  task.reset();
  EXPECT_EQ(registry.PoolSizeForTest(), 2u) << "the last reference returns a task to the pool";

  // A recycled task comes back clean.
  TaskRef reused = registry.Take(u"\\y", u"C:\\Cloud\\y", OperationType::kDelete);
  EXPECT_EQ(reused->id(), -1);
  EXPECT_FALSE(reused->finished.load());
  EXPECT_EQ(reused->async_start.load(), 0);
}

TEST(TaskRegistryTest, ThePoolKeepsAtMost128IdleTasks) {
  TaskRegistry registry;
  std::vector<TaskRef> tasks;
  for (int i = 0; i < 130; ++i) tasks.push_back(registry.Take(u"", u"", OperationType::kUndefined));
  tasks.clear();
  EXPECT_EQ(registry.PoolSizeForTest(), TaskRegistry::kPoolCapacity);
  registry.EmptyPool();
  EXPECT_EQ(registry.PoolSizeForTest(), 0u);
}

}  // namespace
}  // namespace ostrasync::engine
