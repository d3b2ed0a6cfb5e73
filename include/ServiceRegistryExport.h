#pragma once

/// \file
/// The export attribute of libServiceRegistry.

/// What libServiceRegistry exports: its factories and its classes with their virtual tables and
/// type information. Everything else is hidden.
#define SERVICE_REGISTRY_API __attribute__((visibility("default")))
