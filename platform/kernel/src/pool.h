// What the loader needs to know about pool blocks to find a driver's leaks.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <string>
#include <vector>

namespace wrk::detail {

struct PoolBlock {
    PVOID address;
    POOL_TYPE type;
    ULONG tag;
    size_t size;
    void* caller;  // return address of the allocating call
    uint64_t stamp;
};

std::vector<PoolBlock> PoolBlocksSince(uint64_t stamp);
std::string DescribeBlock(const PoolBlock& block);

}  // namespace wrk::detail
