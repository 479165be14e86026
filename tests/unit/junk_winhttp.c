/* A junk winhttp.dll, as mod loaders leave in game folders; its export tells it apart. */
__declspec(dllexport) int KorvanthJunkMarker(void)
{
    return 1;
}
