function expect_error(f, id)
  % Calling f must raise an error with the identifier id.
  e = raised(f);
  assert(e.identifier, id);
end
