#include "ModuleTest.h"

namespace {

TEST(GpuBuffer, SlotsFollowTheOrderOfAdding) {
    GpuBuffer<double> shuffled(9, false);
    EXPECT_EQ(shuffled.getHostBuffer(0), nullptr);  // no storage before the first resize
    shuffled.addItems(6, 2, GpuBufferItems::HostOnly); shuffled.addItems(0, 1, GpuBufferItems::HostOnly);
    shuffled.resize(10);
    EXPECT_EQ(shuffled.getHostItemsList(), (Items{6, 7, 0}));
    EXPECT_EQ(shuffled.hostElementsCount, 30u);
    // Item 0 stands for slot 0, whatever the map says. Blocks of blockLength
    // elements per slot, interleaved from firstIndex on.
    const double* base = shuffled.hostBuffer;
    using Slots = std::vector<const double*>;
    EXPECT_EQ((Slots{shuffled.getHostBuffer(7), shuffled.getHostBuffer(0), shuffled.getHostBuffer(3),
                     shuffled.getHostBufferAt(5, 4, 7), shuffled.getHostBufferAt(5, 4, 0),
                     shuffled.getHostBufferAt(5, 4, 4)}),
              (Slots{base + 10, base, nullptr, base + 3 * 5 + 4, base + 3 * 5, nullptr}));
}

TEST(GpuBuffer, CopyTypesDecideSlotsAndCopyLists) {
    GpuBufferItems items(10);
    items.add(3, 3, GpuBufferItems::DeviceOnly);
    EXPECT_EQ(std::make_tuple(items.getHostItemIndex(5), items.getDeviceItemIndex(5)), std::make_tuple(-1, 2));
    items.add(0, 2, GpuBufferItems::Bidirectional);
    EXPECT_EQ(items.getDeviceItemIndex(0), 3);
    items.add(6, 1, GpuBufferItems::HostToDevice); items.add(7, 1, GpuBufferItems::DeviceToHost);
    items.add(8, 1, static_cast<GpuBufferItems::CopyType>(9));  // unknown: both halves, no copy list
    items.add(9, 1, GpuBufferItems::HostOnly);
    // Host to device, device to host, host slots, device slots.
    EXPECT_EQ((std::vector<Items>{items.getHost2DeviceItems(), items.getDevice2HostItems(), items.getHostItemsList(),
                                  items.getDeviceItemsList()}),
              (std::vector<Items>{{0, 1, 6}, {0, 1, 7}, {0, 1, 6, 7, 8, 9}, {3, 4, 5, 0, 1, 6, 7, 8}}));

    items.clear();
    EXPECT_EQ(items.getHostItemsCount() + items.getDeviceItemsCount(), 0u);
    EXPECT_TRUE(items.getHost2DeviceItems().empty() && items.getDevice2HostItems().empty());
    EXPECT_EQ(items.getHostItemIndex(8), -1);
}

TEST(GpuBuffer, StorageIsReplacedOnlyWhenTheByteSizeChanges) {
    GpuBuffer<float> buffer(9, true);
    const auto layOut = [&](unsigned short count, GpuBufferItems::CopyType type, unsigned int length) {
        buffer.clearItems();
        buffer.addItems(0, count, type);
        buffer.resize(length);
    };
    layOut(2, GpuBufferItems::HostOnly, 100);
    EXPECT_EQ(buffer.hostAllocatedBytes, 800u);
    float* storage = buffer.hostBuffer;
    storage[0] = storage[150] = 42.0f;  // a freed and reused block would lose its first bytes

    // 2 x 100 and 4 x 50 elements: same bytes, same storage, contents kept.
    layOut(4, GpuBufferItems::HostOnly, 50);
    EXPECT_EQ(std::make_tuple(buffer.hostBuffer, buffer.getHostBuffer(0)[0], buffer.getHostBuffer(3)[0]),
              std::make_tuple(storage, 42.0f, 42.0f));
    // Fewer items at the same length: the dropped ones are absent and the
    // storage shrinks.
    layOut(1, GpuBufferItems::HostOnly, 50);
    EXPECT_EQ(std::make_tuple(buffer.hostAllocatedBytes, buffer.getHostBuffer(1)), std::make_tuple(200u, (float*)nullptr));
    // No host slots at all: no storage, null even for item 0.
    layOut(3, GpuBufferItems::DeviceOnly, 50);
    EXPECT_EQ(std::make_tuple(buffer.getHostBuffer(0), buffer.hostAllocatedBytes, buffer.deviceBytesCount),
              std::make_tuple((float*)nullptr, 0u, 600u));
}

TEST(GpuBuffer, OversizedResizeThrowsAndLeavesNoStorageClaimed) {
    GpuBuffer<PowerResultsPeriod> buffer(1, true);
    buffer.addItems(0, 1, GpuBufferItems::HostOnly);
    buffer.resize(10);
    // 384 bytes x 2^24 records does not fit in a 32-bit byte count.
    EXPECT_THROW(buffer.resize(1u << 24), std::bad_alloc);
    EXPECT_EQ(buffer.getHostBuffer(0), nullptr);
    EXPECT_EQ(std::make_tuple(buffer.getLength(), buffer.hostBytesCount, buffer.hostAllocatedBytes),
              std::make_tuple(0u, 0u, 0u));
    buffer.resize(10);  // the item map is kept: a later resize recovers
    EXPECT_NE(buffer.hostBuffer, nullptr);
    EXPECT_EQ(buffer.hostAllocatedBytes, 3840u);
}

}  // namespace
