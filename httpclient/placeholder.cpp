// The component's layers are added here as they are built.
namespace velmora::network::detail {
int componentLayersBuilt() { return 0; }
}  // namespace velmora::network::detail
