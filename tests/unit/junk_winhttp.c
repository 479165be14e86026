/* A winhttp.dll that is not the system's, built beside the Windows unit
   tests: what a mod loader's proxy or a stray download leaves in a game
   folder. Its export tells it apart from the real one. */
__declspec(dllexport) int KorvanthJunkMarker(void)
{
    return 1;
}
