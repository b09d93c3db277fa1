#include "python/declaration.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>

#include "core/errors.hpp"

namespace varnix::py {
namespace {

// Shortest round-trip digits, with the exponent as Python writes it in source: 1e-6, not the
// 1e-06 of printf.
std::string render_real(double x) {
    char buf[64];
    const auto end = std::to_chars(buf, buf + sizeof buf, x).ptr;
    std::string text(buf, end);
    const auto e = text.find('e');
    if (e == std::string::npos) {
        // A whole number is written as Python writes a float: 1.0, not the int 1.
        if (std::isfinite(x) && text.find('.') == std::string::npos) text += ".0";
        return text;
    }
    std::string exponent = text.substr(e + 1);
    std::string sign;
    if (exponent.front() == '+' || exponent.front() == '-') {
        if (exponent.front() == '-') sign = "-";
        exponent.erase(0, 1);
    }
    while (exponent.size() > 1 && exponent.front() == '0') exponent.erase(0, 1);
    return text.substr(0, e + 1) + sign + exponent;
}

Signature render(CallKind kind, const char* owner, const Declaration& decl) {
    Signature sig;
    std::string params;
    if (kind == CallKind::Method) params = "$self";
    bool seen_default = false;
    for (std::size_t i = 0; i < decl.arity(); ++i) {
        const Param& p = decl.params[i];
        if (!params.empty()) params += ", ";
        if (i == decl.keyword_only_from) params += "*, ";
        params += p.name;
        if (p.fallback.kind == Default::Kind::Required) {
            if (seen_default) {
                std::string message = "required parameter after a default in ";
                message += decl.name;
                throw InternalFault(message);
            }
            ++sig.required;
        } else {
            seen_default = true;
            params += '=';
            params += render_default(p.fallback);
        }
        sig.names.emplace_back(p.name);
        sig.defaults.push_back(p.fallback);
    }
    sig.positional = std::min(decl.arity(), decl.keyword_only_from);
    const std::string name = decl.name;
    if (owner == nullptr) {
        sig.display = name + "()";
    } else {
        sig.display = std::string(owner) + "." + name + "()";
    }
    const std::string shown = kind == CallKind::Constructor ? std::string(owner) : name;
    sig.doc = shown + "(" + params + ")\n--\n\n";
    return sig;
}

}  // namespace

std::string render_default(const Default& d) {
    switch (d.kind) {
        case Default::Kind::Required:
            break;
        case Default::Kind::None:
            return "None";
        case Default::Kind::Bool:
            return d.flag ? "True" : "False";
        case Default::Kind::Count:
            return std::to_string(d.count);
        case Default::Kind::Float:
            return render_real(d.real);
    }
    throw InternalFault("a required parameter has no default to render");
}

const Signature& signature_of(CallKind kind, const char* owner, const Declaration& decl) {
    // Calls are serialised by the interpreter lock; the mutex only guards against a caller
    // without it. One declaration may serve several classes (sample_n), hence the owner in
    // the key.
    static std::mutex lock;
    static std::map<std::tuple<const Declaration*, const char*, CallKind>,
                    std::unique_ptr<Signature>>
        cache;
    std::lock_guard guard(lock);
    auto& slot = cache[{&decl, owner, kind}];
    if (!slot) slot = std::make_unique<Signature>(render(kind, owner, decl));
    return *slot;
}

}  // namespace varnix::py
