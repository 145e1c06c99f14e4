// GpuBuffer<T>: a typed buffer of numbered items, each a run of `length`
// elements, with a host half in ordinary memory and a device half that exists
// only as bookkeeping (no device storage is ever allocated; the device pointer
// stays null and nothing is copied between the halves).
//
// Items are added to the map first (addItems), then resize gives the storage
// its size. Slots are handed out in the order of the add calls; an item added
// twice gets a second slot and points at the newer one, so an item can own two
// consecutive slots.
//
// Storage comes from malloc, uninitialised, and is replaced only when the byte
// size changes: pointers handed out stay valid until the next resize that
// changes the byte size, or the buffer's destruction. Accessors do not check
// item numbers against the capacity.
//
// Failure: when the storage cannot be obtained, or when slots x length x
// element size does not fit in 32 bits, resize throws std::bad_alloc (the
// overflow as std::bad_array_new_length) and leaves the buffer without
// storage: null host pointer, length and every count 0, so that no accessor
// hands out a pointer into storage that does not exist. The item map is kept;
// a later resize can try again.
#ifndef POWERQUALITY_BUFFERS_GPUBUFFER_H
#define POWERQUALITY_BUFFERS_GPUBUFFER_H

#include <complex>
#include <vector>

#include "powerquality/Export.h"
#include "powerquality/PowerResults.h"

class POWERQUALITY_API GpuBufferItems {
public:
    enum CopyType : int32_t {
        HostOnly = 0,
        DeviceOnly = 1,
        HostToDevice = 2,
        DeviceToHost = 3,
        Bidirectional = 4,
    };

    explicit GpuBufferItems(unsigned short itemsCount);

    void add(unsigned short first, unsigned short count, CopyType type);
    void clear();
    short getHostItemIndex(unsigned short item) const;
    short getDeviceItemIndex(unsigned short item) const;
    unsigned int getHostItemsCount() const;
    unsigned int getDeviceItemsCount() const;
    std::vector<unsigned short> getHostItemsList() const;
    std::vector<unsigned short> getDeviceItemsList() const;
    std::vector<unsigned short> getHost2DeviceItems() const;
    std::vector<unsigned short> getDevice2HostItems() const;

    unsigned short itemsCount;
    std::vector<short> hostItemIndices;
    std::vector<short> deviceItemIndices;
    std::vector<unsigned short> hostItemsList;
    std::vector<unsigned short> deviceItemsList;
    std::vector<unsigned short> host2DeviceItems;
    std::vector<unsigned short> device2HostItems;
};

template <typename T>
class POWERQUALITY_API GpuBuffer {
public:
    GpuBuffer(unsigned short itemsCount, bool optionFlag);
    ~GpuBuffer();
    GpuBuffer(const GpuBuffer&) = delete;
    GpuBuffer& operator=(const GpuBuffer&) = delete;

    void addItems(unsigned short first, unsigned short count, GpuBufferItems::CopyType type);
    void clearItems();
    void resize(unsigned int length);

    unsigned int getLength() const;
    unsigned int getHostItemsCount() const;
    unsigned int getDeviceItemsCount() const;
    std::vector<unsigned short> getHostItemsList() const;
    std::vector<unsigned short> getDeviceItemsList() const;

    // First element of the item's slot (item-major arrangement). Item 0 is
    // always slot 0; an absent item, or a buffer without storage, yields null.
    T* getHostBuffer(unsigned short item) const;
    // First element of the item's run inside the block at firstIndex
    // (block-interleaved arrangement: with S host slots a block starts at
    // element S x firstIndex and holds blockLength elements per slot).
    T* getHostBufferAt(unsigned int firstIndex, unsigned int blockLength, unsigned short item);
    T* getDeviceBuffer(unsigned short item) const;
    T* getDeviceBufferAt(unsigned int firstIndex, unsigned int blockLength, unsigned short item);

    T* hostBuffer;
    T* deviceBuffer;
    bool optionFlag;
    GpuBufferItems items;
    unsigned int length;
    unsigned int hostElementsCount;
    unsigned int deviceElementsCount;
    unsigned int hostBytesCount;
    unsigned int deviceBytesCount;
    unsigned int hostAllocatedBytes;
    unsigned int deviceAllocatedBytes;

private:
    void initBuffers();
    void freeBuffers();
};

// The element types the library instantiates and exports.
extern template class GpuBuffer<float>;
extern template class GpuBuffer<double>;
extern template class GpuBuffer<std::complex<float>>;
extern template class GpuBuffer<std::complex<double>>;
extern template class GpuBuffer<PowerResultsGeneral>;
extern template class GpuBuffer<PowerResultsPeriod>;
extern template class GpuBuffer<PowerResultsThd>;
extern template class GpuBuffer<RvcResult>;

#endif
