#pragma once

/// \file
/// Remote calls and their replies, as protocol adapters encode them.

#include <string>
#include <vector>

#include "FrameworkExport.h"

/// One named, typed value of a Method. A plain value type: one object may be read from several
/// threads at once, but not written while another thread uses it.
class FRAMEWORK_API Parameter {
public:
    /// Which way a parameter goes.
    enum directions {
        IN = 0,  ///< from the caller to the callee
        OUT = 1  ///< from the callee back to the caller
    };
    /// What a parameter's value is.
    enum types {
        STRING = 0,  ///< a byte string
        BOOL = 1     ///< true or false
    };

    /// A STRING parameter.
    Parameter(const std::string& name, const std::string& value, directions direction);
    /// A BOOL parameter.
    Parameter(const std::string& name, bool value, directions direction);
    /// A STRING parameter. Keeps a string literal from converting to bool; value must not be
    /// null.
    Parameter(const std::string& name, const char* value, directions direction);
    /// A copy of other.
    Parameter(const Parameter& other);
    /// Takes other's value; other is left valid but unspecified.
    Parameter(Parameter&& other) noexcept;
    /// Makes this parameter a copy of other.
    Parameter& operator=(const Parameter& other);
    /// Takes other's value; other is left valid but unspecified.
    Parameter& operator=(Parameter&& other) noexcept;
    /// Frees the name and value.
    ~Parameter();

    /// The parameter's name.
    const std::string& getName() const;
    /// Whether it holds a string or a bool.
    types getType() const;
    /// Which way it goes.
    directions getDirection() const;
    /// The value of a STRING parameter; empty for a BOOL one.
    const std::string& getStringValue() const;
    /// The value of a BOOL parameter; false for a STRING one.
    bool getBoolValue() const;

    /// Same name, type, direction and value of that type.
    bool operator==(const Parameter& other) const;
    /// Not operator==.
    bool operator!=(const Parameter& other) const;

private:
    std::string name;
    types type;
    directions direction;
    std::string stringValue;
    bool boolValue;
};

/// A remote call or its reply: a name, a type and parameters in the order they were added.
/// A plain value type: one object may be read from several threads at once, but not written
/// while another thread uses it.
class FRAMEWORK_API Method {
public:
    /// What a method is. A reply bears the name of its request.
    enum methodTypes {
        REQUEST = 0,  ///< a call
        REPLY = 1     ///< the answer to a call
    };

    /// A REQUEST with an empty name and no parameters.
    Method();
    /// A method of that name and type with no parameters; name must not be null.
    Method(const char* name, methodTypes type);
    /// A method of that name and type with no parameters.
    Method(const std::string& name, methodTypes type);
    /// A copy of other.
    Method(const Method& other);
    /// Takes other's name and parameters; other is left valid but unspecified.
    Method(Method&& other) noexcept;
    /// Makes this method a copy of other.
    Method& operator=(const Method& other);
    /// Takes other's name and parameters; other is left valid but unspecified.
    Method& operator=(Method&& other) noexcept;
    /// Frees the name and parameters.
    ~Method();

    /// The method's name.
    std::string getName() const;
    /// Whether it is a request or a reply.
    methodTypes getType() const;
    /// Its parameters, in the order they were added.
    const std::vector<Parameter>& getParameters() const;

    /// Adds a STRING parameter after the others, even where one of that name is there already.
    void addStringParameter(const std::string& name, const std::string& value,
                            const Parameter::directions& direction);
    /// Adds a BOOL parameter after the others, even where one of that name is there already.
    void addBoolParameter(const std::string& name, const bool& value,
                          const Parameter::directions& direction);

    /// The first STRING parameter of that name and direction: true with the value copied out,
    /// or false with the value left untouched.
    bool getStringParameter(const std::string& name, std::string& value,
                            Parameter::directions direction) const;
    /// The first BOOL parameter of that name and direction: true with the value copied out, or
    /// false with the value left untouched.
    bool getBoolParameter(const std::string& name, bool& value,
                          Parameter::directions direction) const;

    /// Same name, type and parameters in the same order.
    bool operator==(const Method& other) const;
    /// Not operator==.
    bool operator!=(const Method& other) const;

private:
    const Parameter* findParameter(const std::string& name, Parameter::directions direction,
                                   Parameter::types type) const;

    std::string name;
    methodTypes type;
    std::vector<Parameter> parameters;
};
