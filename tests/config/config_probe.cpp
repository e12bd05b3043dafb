// Publishes the agent's settings as the module does, from wherever it runs.

#include "config/agent_config.h"

int main() {
  zav::custody::AgentConfig config;
  return config.WriteRegistrySettings() == 0 ? 0 : 1;
}
