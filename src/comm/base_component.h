#pragma once

#include <string>

namespace quillon::comm {

// Common base of the comm port, the telephony device and the fax components: a name, an
// owner-independent life cycle and the component state that the result check consults.
class TBaseComponent {
  public:
    explicit TBaseComponent(std::string name = {}) : name_(std::move(name)) {}
    virtual ~TBaseComponent() = default;
    TBaseComponent(const TBaseComponent &) = delete;
    TBaseComponent &operator=(const TBaseComponent &) = delete;

    [[nodiscard]] const std::string &Name() const { return name_; }
    void SetName(std::string name) { name_ = std::move(name); }

    // While a component is being loaded (its properties streamed in), failing results are
    // returned instead of raised.
    [[nodiscard]] bool Loading() const { return loading_; }
    void SetLoading(bool on) { loading_ = on; }
    [[nodiscard]] bool Designing() const { return designing_; }
    void SetDesigning(bool on) { designing_ = on; }

  private:
    std::string name_;
    bool loading_ = false;
    bool designing_ = false;
};

} // namespace quillon::comm
