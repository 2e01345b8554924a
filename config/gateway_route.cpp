// The gateway routes of the driver instances; see gateway_route.h.
#include "config/gateway_route.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace sarn {

namespace {

constexpr int kRoutes = SARN_MAX_OPEN_PORTS;

struct Route {
  const DriverContext* pOwner;
  char szAddress[kGatewayAddressSize];
};

Route g_routes[kRoutes];
std::mutex g_routesLock;

Route* Find(const DriverContext* pContext) {
  for (Route& route : g_routes)
    if (route.pOwner == pContext) return &route;
  return nullptr;
}

}  // namespace

bool SetGatewayRoute(const DriverContext* pContext, const char* pszAddress) {
  const std::lock_guard<std::mutex> lock(g_routesLock);
  Route* pRoute = Find(pContext);
  if (pszAddress[0] == '\0') {
    if (pRoute != nullptr) *pRoute = Route{};
    return true;
  }
  if (pRoute == nullptr) pRoute = Find(nullptr);
  if (pRoute == nullptr) return false;
  pRoute->pOwner = pContext;
  snprintf(pRoute->szAddress, sizeof pRoute->szAddress, "%s", pszAddress);
  return true;
}

bool GatewayRoute(const DriverContext* pContext, char* pszAddress) {
  const std::lock_guard<std::mutex> lock(g_routesLock);
  const Route* pRoute = Find(pContext);
  pszAddress[0] = '\0';
  if (pRoute == nullptr) return false;
  memcpy(pszAddress, pRoute->szAddress, kGatewayAddressSize);
  return true;
}

}  // namespace sarn
