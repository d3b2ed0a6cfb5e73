#pragma once

// The words of the registry's text protocol on its channel, for both of its ends. A request is
// a command word, a colon and arguments separated by commas; a reply starts with a reply word,
// its colon included, and the fields after it.
namespace RegistryText {

inline constexpr char kRegister[] = "reg";
inline constexpr char kDeregister[] = "dereg";
inline constexpr char kFind[] = "find";
inline constexpr char kFindServiceId[] = "find_svc_id";
inline constexpr char kGetList[] = "getlist";
inline constexpr char kGetDetailsList[] = "get_service_details_list";
inline constexpr char kRegisterInvoker[] = "reg_invoker";
inline constexpr char kFindInvoker[] = "find_invoker";
inline constexpr char kRegisterProxy[] = "reg_proxy";
inline constexpr char kFindProxy[] = "find_proxy";

inline constexpr char kFound[] = "found:";
inline constexpr char kNotFound[] = "notfound:";
inline constexpr char kFoundServiceId[] = "found_svc_id:";
inline constexpr char kServiceIdNotFound[] = "svc_id_not_found:";
inline constexpr char kList[] = "list:";
inline constexpr char kDetailsList[] = "service_details_list:";
inline constexpr char kFoundInvoker[] = "found_invoker:";
inline constexpr char kFoundProxy[] = "found_proxy:";

}  // namespace RegistryText
