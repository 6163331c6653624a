// Local authentication of the device owner, under the platform's names. The binary links the
// Linux service (platform/localauth: PAM, prompts through pinentry); tests link a fake.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "Ferrowick/Foundation.h"

using LAPolicy = long;
inline constexpr LAPolicy LAPolicyDeviceOwnerAuthentication = 2;

// The codes of an evaluation's error, as the platform numbers them.
inline constexpr long LAErrorAuthenticationFailed = -1;
inline constexpr long LAErrorUserCancel = -2;
inline constexpr long LAErrorSystemCancel = -4;
inline constexpr long LAErrorPasscodeNotSet = -5;
inline constexpr long LAErrorAppCancel = -9;
inline constexpr long LAErrorNotInteractive = -1004;  // no prompt could be shown

// How long the owner has to answer one evaluation. The caller waits this long and the service
// ends its prompt within it, both counting from the evaluation's start, so the prompt never
// outlives the caller's wait.
inline constexpr int LAEvaluationTimeLimitSeconds = 90;

class LAContext {
 public:
  // Called once per evaluation, on a thread of the service's choosing.
  using Reply = std::function<void(bool success, const NSError* error)>;

  LAContext();
  ~LAContext();
  LAContext(const LAContext&) = delete;
  LAContext& operator=(const LAContext&) = delete;

  void setLocalizedCancelTitle(std::string_view title);
  // Whether `policy` can be evaluated on this machine now; the error says why not.
  bool canEvaluatePolicy(LAPolicy policy, NSError* error);
  // Starts an evaluation and returns at once; `reply` is called exactly once, later.
  void evaluatePolicy(LAPolicy policy, std::string_view localizedReason, Reply reply);
  // Ends the context and any evaluation still pending; does not wait for it.
  void invalidate();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};
