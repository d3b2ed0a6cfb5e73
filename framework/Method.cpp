#include "Method.h"

Parameter::Parameter(const std::string& name, const std::string& value, directions direction)
    : name(name), type(STRING), direction(direction), stringValue(value), boolValue(false) {}

Parameter::Parameter(const std::string& name, bool value, directions direction)
    : name(name), type(BOOL), direction(direction), boolValue(value) {}

Parameter::Parameter(const std::string& name, const char* value, directions direction)
    : Parameter(name, std::string(value ? value : ""), direction) {}

const std::string& Parameter::getName() const {
    return name;
}

Parameter::types Parameter::getType() const {
    return type;
}

Parameter::directions Parameter::getDirection() const {
    return direction;
}

const std::string& Parameter::getStringValue() const {
    return stringValue;
}

bool Parameter::getBoolValue() const {
    return boolValue;
}

bool Parameter::operator==(const Parameter& other) const {
    if (name != other.name || type != other.type || direction != other.direction) return false;
    return type == STRING ? stringValue == other.stringValue : boolValue == other.boolValue;
}

bool Parameter::operator!=(const Parameter& other) const {
    return !(*this == other);
}

Parameter::Parameter(const Parameter&) = default;
Parameter::Parameter(Parameter&&) noexcept = default;
Parameter& Parameter::operator=(const Parameter&) = default;
Parameter& Parameter::operator=(Parameter&&) noexcept = default;
Parameter::~Parameter() = default;

namespace {

// Most methods carry a few parameters: room for four at the first saves growing the vector
// at every later one.
void makeRoomOnFirstAdd(std::vector<Parameter>& parameters) {
    constexpr std::size_t kUsualParameterCount = 4;
    if (parameters.capacity() == 0) parameters.reserve(kUsualParameterCount);
}

}  // namespace

Method::Method() : type(REQUEST) {}

Method::Method(const char* name, methodTypes type) : name(name ? name : ""), type(type) {}

Method::Method(const std::string& name, methodTypes type) : name(name), type(type) {}

Method::Method(const Method&) = default;
Method::Method(Method&&) noexcept = default;
Method& Method::operator=(const Method&) = default;
Method& Method::operator=(Method&&) noexcept = default;
Method::~Method() = default;

std::string Method::getName() const {
    return name;
}

Method::methodTypes Method::getType() const {
    return type;
}

const std::vector<Parameter>& Method::getParameters() const {
    return parameters;
}

void Method::addStringParameter(const std::string& name, const std::string& value,
                                const Parameter::directions& direction) {
    makeRoomOnFirstAdd(parameters);
    parameters.emplace_back(name, value, direction);
}

void Method::addBoolParameter(const std::string& name, const bool& value,
                              const Parameter::directions& direction) {
    makeRoomOnFirstAdd(parameters);
    parameters.emplace_back(name, value, direction);
}

bool Method::getStringParameter(const std::string& name, std::string& value,
                                Parameter::directions direction) const {
    const Parameter* found = findParameter(name, direction, Parameter::STRING);
    if (found == nullptr) return false;
    value = found->getStringValue();
    return true;
}

bool Method::getBoolParameter(const std::string& name, bool& value,
                              Parameter::directions direction) const {
    const Parameter* found = findParameter(name, direction, Parameter::BOOL);
    if (found == nullptr) return false;
    value = found->getBoolValue();
    return true;
}

const Parameter* Method::findParameter(const std::string& name, Parameter::directions direction,
                                       Parameter::types type) const {
    for (const Parameter& parameter : parameters) {
        if (parameter.getName() == name && parameter.getDirection() == direction &&
            parameter.getType() == type) {
            return &parameter;
        }
    }
    return nullptr;
}

bool Method::operator==(const Method& other) const {
    return name == other.name && type == other.type && parameters == other.parameters;
}

bool Method::operator!=(const Method& other) const {
    return !(*this == other);
}
