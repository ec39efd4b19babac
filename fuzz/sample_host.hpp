// The host the optimize and protocol fuzz targets answer over: an environment whose data proxy and
// data client both serve the sample bundle, set up once per process.
#pragma once

#include <memory>

#include "dunlith/dunlith.hpp"
#include "kelvane/data_proxy.hpp"
#include "kelvane/data_source.hpp"
#include "kelvane/environment.hpp"

inline void open_sample_host() {
    static kelvane::Environment environment(nullptr);
    environment.data_proxy = std::make_shared<kelvane::DataProxy>(
        std::make_shared<kelvane::BaseDataSource>(KV_SAMPLE_BUNDLE));
    dunlith::init("fuzz", "", {"localhost", 16003}, KV_SAMPLE_BUNDLE);
}
