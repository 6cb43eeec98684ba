// A client module at its smallest: what registry/registry.h lets through or refuses.
#include <registry/registry.h>

int main()
{
    Tarn::Registry registry;
    return registry.closeKey() ? 0 : 1;
}
