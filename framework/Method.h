#pragma once

#include <string>
#include <vector>

#include "FrameworkExport.h"

// One named, typed value of a Method.
class FRAMEWORK_API Parameter {
public:
    enum directions { IN = 0, OUT = 1 };
    enum types { STRING = 0, BOOL = 1 };

    Parameter(const std::string& name, const std::string& value, directions direction);
    Parameter(const std::string& name, bool value, directions direction);
    // Keeps a string literal from converting to bool.
    Parameter(const std::string& name, const char* value, directions direction);
    Parameter(const Parameter& other);
    Parameter(Parameter&& other) noexcept;
    Parameter& operator=(const Parameter& other);
    Parameter& operator=(Parameter&& other) noexcept;
    ~Parameter();

    const std::string& getName() const;
    types getType() const;
    directions getDirection() const;
    // The value of a STRING parameter; empty for a BOOL one.
    const std::string& getStringValue() const;
    // The value of a BOOL parameter; false for a STRING one.
    bool getBoolValue() const;

    // Same name, type, direction and value of that type.
    bool operator==(const Parameter& other) const;
    bool operator!=(const Parameter& other) const;

private:
    std::string name;
    types type;
    directions direction;
    std::string stringValue;
    bool boolValue;
};

// A remote call or its reply: a name, a type and parameters in the order they were added.
class FRAMEWORK_API Method {
public:
    // A reply bears the name of its request.
    enum methodTypes { REQUEST = 0, REPLY = 1 };

    Method();
    Method(const char* name, methodTypes type);
    Method(const std::string& name, methodTypes type);
    Method(const Method& other);
    Method(Method&& other) noexcept;
    Method& operator=(const Method& other);
    Method& operator=(Method&& other) noexcept;
    ~Method();

    std::string getName() const;
    methodTypes getType() const;
    const std::vector<Parameter>& getParameters() const;

    void addStringParameter(const std::string& name, const std::string& value,
                            const Parameter::directions& direction);
    void addBoolParameter(const std::string& name, const bool& value,
                          const Parameter::directions& direction);

    // The first parameter of that name, direction and type: true with the value copied out, or
    // false with the value left untouched.
    bool getStringParameter(const std::string& name, std::string& value,
                            Parameter::directions direction) const;
    bool getBoolParameter(const std::string& name, bool& value,
                          Parameter::directions direction) const;

    // Same name, type and parameters in the same order.
    bool operator==(const Method& other) const;
    bool operator!=(const Method& other) const;

private:
    const Parameter* findParameter(const std::string& name, Parameter::directions direction,
                                   Parameter::types type) const;

    std::string name;
    methodTypes type;
    std::vector<Parameter> parameters;
};
