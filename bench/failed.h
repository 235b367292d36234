// failed<Figures>(why): the figures of a measurement that could not be made, saying why.
#pragma once

#include <string>
#include <utility>

namespace marlox::bench {

// Every figures struct of the benchmark has a `fault` text that is empty on success.
template <class Figures>
Figures failed(std::string why) {
    Figures figures;
    figures.fault = std::move(why);
    return figures;
}

}  // namespace marlox::bench
