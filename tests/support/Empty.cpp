// Keeps the support library non-empty before it has fakes.
