#include "python/text_declaration.hpp"

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

#include "core/errors.hpp"

namespace varnix::py {
namespace {

Default parse_default(const std::string& text) {
    if (text == "None") return {Default::Kind::None};
    if (text == "True" || text == "False") return {Default::Kind::Bool, text == "True"};
    if (text.find_first_not_of("0123456789") == std::string::npos) {
        return {Default::Kind::Count, false, std::strtoull(text.c_str(), nullptr, 10)};
    }
    return {Default::Kind::Float, false, 0, std::strtod(text.c_str(), nullptr)};
}

}  // namespace

Signature parse_signature(const char* owner, const char* text) {
    Signature sig;
    const std::string t = text;
    const auto open = t.find('(');
    const auto close = t.rfind(')');
    std::string name = t.substr(0, open);
    if (owner != nullptr) {
        // A constructor's text signature has no name of its own.
        sig.display = std::string(owner) + "." + (name.empty() ? "__new__" : name) + "()";
        sig.doc = (name.empty() ? std::string(owner) : std::string()) + t + "\n--\n\n";
    } else {
        sig.display = name + "()";
        sig.doc = t + "\n--\n\n";
    }
    std::string inner = t.substr(open + 1, close - open - 1);
    std::size_t pos = 0;
    while (pos < inner.size()) {
        auto comma = inner.find(',', pos);
        if (comma == std::string::npos) comma = inner.size();
        std::string param = inner.substr(pos, comma - pos);
        while (!param.empty() && param.front() == ' ') param.erase(0, 1);
        pos = comma + 1;
        if (param.empty() || param == "$self") continue;
        const auto eq = param.find('=');
        if (eq == std::string::npos) {
            sig.names.push_back(param);
            sig.defaults.push_back({});
            ++sig.required;
        } else {
            sig.names.push_back(param.substr(0, eq));
            sig.defaults.push_back(parse_default(param.substr(eq + 1)));
        }
    }
    if (sig.names.size() > max_params) throw InternalFault("too many parameters in " + t);
    return sig;
}

const Signature& Decl::signature() const {
    // One parsed signature per declaration for the process lifetime. Calls are serialised
    // by the interpreter lock; the mutex only guards against a caller without it.
    static std::mutex lock;
    static std::map<const Decl*, std::unique_ptr<Signature>> cache;
    std::lock_guard guard(lock);
    auto& slot = cache[this];
    if (!slot) slot = std::make_unique<Signature>(parse_signature(owner, text));
    return *slot;
}

}  // namespace varnix::py
