# Placeholder, replaced by the executable recipe.
