#ifndef VARNO_GATEWAY_PAGEASSETS_H
#define VARNO_GATEWAY_PAGEASSETS_H

#include <cstddef>
#include <vector>

namespace varno_gateway {

// A file of the status page, built into the binary from gateway/page/.
struct PageAsset {
    const char* path;  // "/index.html"
    const unsigned char* data;
    size_t size;
};

const std::vector<PageAsset>& pageAssets();

}  // namespace varno_gateway

#endif
